// Failure kinds of the engine and the one table that turns them into the codes that cross the
// engine's entry points. Inside the engine a failure is always an ErrorKind carried by Status or
// Result<T>; nothing is thrown.
#ifndef TAVRILL_ENGINE_ERRORS_H_
#define TAVRILL_ENGINE_ERRORS_H_

#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

namespace tavrill {

// Codes seen by callers of the entry points. -3 and -10 are deliberately unused.
inline constexpr int32_t ERR_OUT_OF_MEMORY = -1;
inline constexpr int32_t ERR_IO = -2;
inline constexpr int32_t ERR_RECORD_TOO_LARGE = -4;
inline constexpr int32_t ERR_STORE_FULL = -5;
inline constexpr int32_t ERR_BUFFER_TOO_SMALL = -6;
inline constexpr int32_t ERR_DECODE_FAILED = -7;
inline constexpr int32_t ERR_INVALID_FORMAT = -8;
inline constexpr int32_t ERR_DICT_TRAINING_FAILED = -9;
inline constexpr int32_t ERR_NOT_FOUND = -11;
inline constexpr int32_t ERR_ALREADY_EXISTS = -12;
inline constexpr int32_t ERR_BUSY = -13;

enum class ErrorKind : uint8_t {
  RecordTooLarge,
  StoreFull,
  DecodeFailed,
  InvalidFormat,
  Io,
  OutOfMemory,
  BufferTooSmall,
  DictTrainingFailed,
  NotFound,
  AlreadyExists,
  Busy,
};

// The one kind -> code table. Anything outside it is reported as ERR_IO.
constexpr int32_t error_code(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::RecordTooLarge:
      return ERR_RECORD_TOO_LARGE;
    case ErrorKind::StoreFull:
      return ERR_STORE_FULL;
    case ErrorKind::DecodeFailed:
      return ERR_DECODE_FAILED;
    case ErrorKind::InvalidFormat:
      return ERR_INVALID_FORMAT;
    case ErrorKind::Io:
      return ERR_IO;
    case ErrorKind::OutOfMemory:
      return ERR_OUT_OF_MEMORY;
    case ErrorKind::BufferTooSmall:
      return ERR_BUFFER_TOO_SMALL;
    case ErrorKind::DictTrainingFailed:
      return ERR_DICT_TRAINING_FAILED;
    case ErrorKind::NotFound:
      return ERR_NOT_FOUND;
    case ErrorKind::AlreadyExists:
      return ERR_ALREADY_EXISTS;
    case ErrorKind::Busy:
      return ERR_BUSY;
  }
  return ERR_IO;
}

// Inverse of the table, for codes that parallel stages store in their shared error slot.
constexpr ErrorKind kind_of_code(int32_t code) {
  switch (code) {
    case ERR_RECORD_TOO_LARGE:
      return ErrorKind::RecordTooLarge;
    case ERR_STORE_FULL:
      return ErrorKind::StoreFull;
    case ERR_DECODE_FAILED:
      return ErrorKind::DecodeFailed;
    case ERR_INVALID_FORMAT:
      return ErrorKind::InvalidFormat;
    case ERR_OUT_OF_MEMORY:
      return ErrorKind::OutOfMemory;
    case ERR_BUFFER_TOO_SMALL:
      return ErrorKind::BufferTooSmall;
    case ERR_DICT_TRAINING_FAILED:
      return ErrorKind::DictTrainingFailed;
    case ERR_NOT_FOUND:
      return ErrorKind::NotFound;
    case ERR_ALREADY_EXISTS:
      return ErrorKind::AlreadyExists;
    case ERR_BUSY:
      return ErrorKind::Busy;
    default:
      return ErrorKind::Io;
  }
}

// Success, or the kind of one failure.
class [[nodiscard]] Status {
 public:
  constexpr Status() = default;
  constexpr Status(ErrorKind kind) : failed_(true), kind_(kind) {}  // NOLINT: implicit on purpose

  static constexpr Status Ok() { return Status(); }

  constexpr bool ok() const { return !failed_; }
  constexpr ErrorKind kind() const { return kind_; }
  // 0 on success, else the caller-facing code of the kind.
  constexpr int32_t code() const { return failed_ ? error_code(kind_) : 0; }

 private:
  bool failed_ = false;
  ErrorKind kind_ = ErrorKind::Io;
};

// A value, or the kind of the failure that prevented it. T must be trivially copyable: results in
// the engine are pointers, counts and small records.
template <typename T>
class [[nodiscard]] Result {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  constexpr Result(T value) : value_(value) {}                   // NOLINT: implicit on purpose
  constexpr Result(ErrorKind kind) : status_(kind), value_() {}  // NOLINT: implicit on purpose

  constexpr bool ok() const { return status_.ok(); }
  constexpr Status status() const { return status_; }
  constexpr ErrorKind kind() const { return status_.kind(); }
  constexpr const T& value() const { return value_; }

 private:
  Status status_;
  T value_;
};

}  // namespace tavrill

// Propagates a failed Status (or the status of a failed Result) to the caller.
#define TAVRILL_RETURN_IF_ERROR(expr)                         \
  do {                                                        \
    const ::tavrill::Status tavrill_status_ = (expr);         \
    if (!tavrill_status_.ok()) return tavrill_status_.kind(); \
  } while (0)

#endif  // TAVRILL_ENGINE_ERRORS_H_
