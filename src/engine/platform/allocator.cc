#include "platform/allocator.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/fault.h"

namespace tavrill {
namespace {

// Blocks of at least this size are mapped pages of their own, so that growing a scratch buffer
// can extend its mapping in place instead of copying it.
constexpr uint64_t kMappedThreshold = 256 * 1024;
constexpr uint8_t kPageAlignLog = 12;
// malloc and realloc guarantee this alignment on the platforms we build for.
constexpr uint8_t kMallocAlignLog = 4;

uint64_t page_size() {
  static const uint64_t size = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  return size;
}

bool is_mapped(uint64_t length, uint8_t align_log) {
  return length >= kMappedThreshold && align_log <= kPageAlignLog;
}

// Rounds up to whole pages; 0 when that does not fit in size_t (no mapping can be that large).
uint64_t mapping_length(uint64_t length) {
  const uint64_t page = page_size();
  if (length > UINT64_MAX - (page - 1)) return 0;
  return (length + page - 1) & ~(page - 1);
}

void* heap_allocate(uint64_t length, uint8_t align_log) {
  if (align_log <= kMallocAlignLog) return std::malloc(length);
  void* memory = nullptr;
  const uint64_t alignment = uint64_t{1} << align_log;
  if (posix_memalign(&memory, alignment < sizeof(void*) ? sizeof(void*) : alignment, length) != 0) {
    return nullptr;
  }
  return memory;
}

void* map_allocate(uint64_t length) {
  const uint64_t mapped = mapping_length(length);
  if (mapped == 0) return nullptr;
  void* memory = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return memory == MAP_FAILED ? nullptr : memory;
}

void* allocate_block(uint64_t length, uint8_t align_log) {
  if (length == 0 || align_log >= 64) return nullptr;
  return is_mapped(length, align_log) ? map_allocate(length) : heap_allocate(length, align_log);
}

void free_block(void* address, uint64_t length, uint8_t align_log) {
  if (is_mapped(length, align_log)) {
    munmap(address, mapping_length(length));
  } else {
    std::free(address);
  }
}

void* default_allocate(void*, uint64_t length, uint8_t align_log) {
  if (fault_injected(FaultSite::kAllocate)) return nullptr;
  void* block = allocate_block(length, align_log);
  if (block != nullptr) fault_ledger_note(+1);
  return block;
}

void default_free(void*, void* address, uint64_t length, uint8_t align_log) {
  if (address == nullptr) return;
  fault_ledger_note(-1);
  free_block(address, length, align_log);
}

bool default_resize(void*, void* address, uint64_t old_length, uint8_t align_log,
                    uint64_t new_length) {
  if (new_length == 0) return false;
  // A block never changes between heap and mapping in place: its free must find it where it is.
  if (is_mapped(old_length, align_log) != is_mapped(new_length, align_log)) return false;
  if (is_mapped(old_length, align_log)) {
    const uint64_t old_mapped = mapping_length(old_length);
    const uint64_t new_mapped = mapping_length(new_length);
    if (new_mapped == 0) return false;
    if (old_mapped == new_mapped) return true;
    return mremap(address, old_mapped, new_mapped, 0) != MAP_FAILED;
  }
  return new_length <= malloc_usable_size(address);
}

void* move_block(void* address, uint64_t old_length, uint8_t align_log, uint64_t new_length) {
  void* fresh = allocate_block(new_length, align_log);
  if (fresh == nullptr) return nullptr;
  std::memcpy(fresh, address, old_length < new_length ? old_length : new_length);
  free_block(address, old_length, align_log);
  return fresh;
}

// The block stays one block whatever happens, so the ledger does not change here.
void* default_remap(void*, void* address, uint64_t old_length, uint8_t align_log,
                    uint64_t new_length) {
  if (new_length == 0 || fault_injected(FaultSite::kRemap)) return nullptr;
  const bool was_mapped = is_mapped(old_length, align_log);
  if (was_mapped != is_mapped(new_length, align_log)) {
    return move_block(address, old_length, align_log, new_length);
  }
  if (was_mapped) {
    const uint64_t new_mapped = mapping_length(new_length);
    if (new_mapped == 0) return nullptr;
    void* moved = mremap(address, mapping_length(old_length), new_mapped, MREMAP_MAYMOVE);
    return moved == MAP_FAILED ? nullptr : moved;
  }
  // realloc may hand back a block that lost a stricter alignment, so those blocks move by hand.
  if (align_log > kMallocAlignLog) return move_block(address, old_length, align_log, new_length);
  return std::realloc(address, new_length);
}

constexpr AllocatorOps kDefaultOps = {default_allocate, default_resize, default_remap,
                                      default_free};

}  // namespace

Allocator default_allocator() { return Allocator{nullptr, &kDefaultOps}; }

}  // namespace tavrill
