#include "platform/lock.h"

#include <errno.h>
#include <fcntl.h>

#include "platform/fault.h"

namespace tavrill {

LockOutcome try_lock_first_byte(const File& file, LockMode mode) {
  if (fault_injected(FaultSite::kLock)) return LockOutcome::kFailed;
  // Open-file-description locks: unlike classic record locks they conflict between two
  // descriptors of one process and are not dropped when some other descriptor of the file closes.
  struct flock request = {};
  request.l_type = mode == LockMode::kExclusive ? F_WRLCK : F_RDLCK;
  request.l_whence = SEEK_SET;
  request.l_start = 0;
  request.l_len = 1;
  request.l_pid = 0;
  int result;
  do {
    result = ::fcntl(file.fd(), F_OFD_SETLK, &request);
  } while (result != 0 && errno == EINTR);
  if (result == 0) return LockOutcome::kGranted;
  if (errno == EAGAIN || errno == EACCES) return LockOutcome::kBusy;
  return LockOutcome::kFailed;
}

}  // namespace tavrill
