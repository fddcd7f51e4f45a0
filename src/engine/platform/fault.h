// The fault seam of the platform layer. Test builds (TAVRILL_FAULT_INJECTION) can make the n-th
// call of chosen kinds fail exactly as the operating system would make it fail, so that tests can
// walk every failure path of the engine; they also keep a ledger of the default allocator's live
// blocks, so a test can see that a failed call gave back every block it took. Every other build
// sees constant functions that compile away: the seam costs nothing there.
#ifndef TAVRILL_ENGINE_PLATFORM_FAULT_H_
#define TAVRILL_ENGINE_PLATFORM_FAULT_H_

#include <cstdint>

namespace tavrill {

// The platform calls that can be made to fail.
enum class FaultSite : uint8_t {
  kOpen,           // opening a store file or the store directory
  kRead,           // one read_exact_at
  kWrite,          // one write_all_at
  kAllocate,       // an allocate of the default allocator
  kRemap,          // a remap of the default allocator
  kFileSize,       // querying a file's size
  kSetFileEnd,     // cutting or extending a file
  kListDirectory,  // one directory listing
  kLock,           // taking the byte-0 lock
  kMakeDirectory,  // creating a missing store directory
  kStartThread,    // starting a worker thread
};

constexpr uint32_t fault_bit(FaultSite site) { return uint32_t{1} << static_cast<unsigned>(site); }
inline constexpr uint32_t kAllFaultSites = (uint32_t{1} << 11) - 1;

#ifdef TAVRILL_FAULT_INJECTION

// Counts one call at `site`; true when it is the armed call, which must then fail.
bool fault_injected(FaultSite site);
// One more (+1) or one fewer (-1) live block of the default allocator.
void fault_ledger_note(int64_t delta);

// Test control. Calls at the sites in `sites` are counted from 1 after fault_arm; the call that
// reaches `nth` fails, and only that one. nth 0 only counts.
void fault_arm(uint32_t sites, uint64_t nth);
void fault_disarm();
// Calls counted at the armed sites since the last fault_arm, and whether the armed one came.
uint64_t fault_calls();
bool fault_fired();
// Blocks of the default allocator that are currently allocated, by any thread.
int64_t fault_ledger_live_blocks();

#else

constexpr bool fault_injected(FaultSite) { return false; }
constexpr void fault_ledger_note(int64_t) {}

#endif  // TAVRILL_FAULT_INJECTION

}  // namespace tavrill

#endif  // TAVRILL_ENGINE_PLATFORM_FAULT_H_
