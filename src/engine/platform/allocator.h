// The allocator interface through which the engine takes all memory for its records and buffers,
// the process-wide default allocator, and small owning helpers on top of it.
#ifndef TAVRILL_ENGINE_PLATFORM_ALLOCATOR_H_
#define TAVRILL_ENGINE_PLATFORM_ALLOCATOR_H_

#include <bit>
#include <cstdint>
#include <new>
#include <utility>

#include "errors.h"

namespace tavrill {

// Alignments travel as base-2 logarithms (0 for 1 byte, 3 for 8 bytes). The allocator keeps no
// sizes: every remap and free passes the length and alignment the block was made with. All
// operations may be called from any thread at once.
struct AllocatorOps {
  void* (*allocate)(void* context, uint64_t length, uint8_t align_log);
  // True when the block now has new_length bytes at the same address.
  bool (*resize)(void* context, void* address, uint64_t old_length, uint8_t align_log,
                 uint64_t new_length);
  // The block's new address (its first min(old, new) bytes kept), or null with the old block
  // left untouched.
  void* (*remap)(void* context, void* address, uint64_t old_length, uint8_t align_log,
                 uint64_t new_length);
  void (*free)(void* context, void* address, uint64_t length, uint8_t align_log);
};

// A context pointer plus an operation table; cheap to copy.
struct Allocator {
  void* context = nullptr;
  const AllocatorOps* ops = nullptr;

  void* allocate(uint64_t length, uint8_t align_log) const {
    return ops->allocate(context, length, align_log);
  }
  bool resize(void* address, uint64_t old_length, uint8_t align_log, uint64_t new_length) const {
    return ops->resize(context, address, old_length, align_log, new_length);
  }
  void* remap(void* address, uint64_t old_length, uint8_t align_log, uint64_t new_length) const {
    return ops->remap(context, address, old_length, align_log, new_length);
  }
  void free(void* address, uint64_t length, uint8_t align_log) const {
    ops->free(context, address, length, align_log);
  }
};

// Process-wide, lock-free from our side: small blocks come from the C library's per-thread
// arenas, large ones are whole pages that grow in place when the kernel can extend the mapping.
Allocator default_allocator();

template <typename T>
constexpr uint8_t align_log_of() {
  return static_cast<uint8_t>(std::countr_zero(alignof(T)));
}

// Constructs a T in a block of `allocator`; null when no memory is available.
template <typename T, typename... Args>
T* allocator_new(const Allocator& allocator, Args&&... args) {
  void* memory = allocator.allocate(sizeof(T), align_log_of<T>());
  if (memory == nullptr) return nullptr;
  return new (memory) T(std::forward<Args>(args)...);
}

template <typename T>
void allocator_delete(const Allocator& allocator, T* object) {
  object->~T();
  allocator.free(object, sizeof(T), align_log_of<T>());
}

// Owns one engine record while it is being built: `Release` (the record's own close or free entry
// point) runs on every early return, and release() hands the finished record to the caller.
template <typename T, void (*Release)(T*) noexcept>
class RecordUnderConstruction final {
 public:
  explicit RecordUnderConstruction(T* record) : record_(record) {}
  ~RecordUnderConstruction() {
    if (record_ != nullptr) Release(record_);
  }
  RecordUnderConstruction(const RecordUnderConstruction&) = delete;
  RecordUnderConstruction& operator=(const RecordUnderConstruction&) = delete;

  T* get() const { return record_; }
  T* operator->() const { return record_; }
  T* release() {
    T* record = record_;
    record_ = nullptr;
    return record;
  }

 private:
  T* record_;
};

// Owns an array of `count` trivially copyable T from one allocator, freed when it goes out of
// scope. An empty array owns nothing: the allocator is never asked for 0 bytes. One owner, no
// sharing.
template <typename T>
class ArrayBlock final {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  ArrayBlock() = default;
  ~ArrayBlock() { reset(); }
  ArrayBlock(const ArrayBlock&) = delete;
  ArrayBlock& operator=(const ArrayBlock&) = delete;

  // OutOfMemory when count × sizeof(T) overflows or the allocator has no memory.
  Status allocate(const Allocator& allocator, uint64_t count) {
    reset();
    if (count == 0) return Status::Ok();
    if (count > UINT64_MAX / sizeof(T)) return ErrorKind::OutOfMemory;
    void* memory = allocator.allocate(count * sizeof(T), align_log_of<T>());
    if (memory == nullptr) return ErrorKind::OutOfMemory;
    allocator_ = allocator;
    data_ = static_cast<T*>(memory);
    count_ = count;
    return Status::Ok();
  }

  void reset() {
    if (data_ != nullptr) allocator_.free(data_, count_ * sizeof(T), align_log_of<T>());
    data_ = nullptr;
    count_ = 0;
  }

  T* data() const { return data_; }
  uint64_t size() const { return count_; }
  T& operator[](uint64_t i) const { return data_[i]; }

 private:
  Allocator allocator_;
  T* data_ = nullptr;
  uint64_t count_ = 0;
};

}  // namespace tavrill

#endif  // TAVRILL_ENGINE_PLATFORM_ALLOCATOR_H_
