// The one-byte lock that keeps a store's writer and readers apart.
#ifndef TAVRILL_ENGINE_PLATFORM_LOCK_H_
#define TAVRILL_ENGINE_PLATFORM_LOCK_H_

#include "platform/file.h"

namespace tavrill {

enum class LockMode { kShared, kExclusive };
enum class LockOutcome { kGranted, kBusy, kFailed };

// Locks byte 0 (length 1) of `file` without waiting. The lock belongs to this open file, not to
// the process: a second open of the same file in this process conflicts like another process
// would, and the lock ends when this descriptor is closed.
LockOutcome try_lock_first_byte(const File& file, LockMode mode);

}  // namespace tavrill

#endif  // TAVRILL_ENGINE_PLATFORM_LOCK_H_
