#include "platform/fault.h"

#ifdef TAVRILL_FAULT_INJECTION

#include <atomic>

namespace tavrill {
namespace {

// Relaxed throughout: the test thread arms before it calls into the engine and reads the counts
// after the call returned, and every engine call joins its worker tasks before it returns, so
// the stage's own synchronisation orders the workers' counts before the test's reads.
std::atomic<uint32_t> armed_sites{0};
std::atomic<uint64_t> armed_nth{0};
std::atomic<uint64_t> calls{0};
std::atomic<bool> fired{false};
std::atomic<int64_t> live_blocks{0};

}  // namespace

bool fault_injected(FaultSite site) {
  if ((armed_sites.load(std::memory_order_relaxed) & fault_bit(site)) == 0) return false;
  const uint64_t call = calls.fetch_add(1, std::memory_order_relaxed) + 1;
  if (call != armed_nth.load(std::memory_order_relaxed)) return false;
  fired.store(true, std::memory_order_relaxed);
  return true;
}

void fault_ledger_note(int64_t delta) { live_blocks.fetch_add(delta, std::memory_order_relaxed); }

void fault_arm(uint32_t sites, uint64_t nth) {
  armed_sites.store(0, std::memory_order_relaxed);
  calls.store(0, std::memory_order_relaxed);
  fired.store(false, std::memory_order_relaxed);
  armed_nth.store(nth, std::memory_order_relaxed);
  armed_sites.store(sites, std::memory_order_relaxed);
}

void fault_disarm() { armed_sites.store(0, std::memory_order_relaxed); }

uint64_t fault_calls() { return calls.load(std::memory_order_relaxed); }

bool fault_fired() { return fired.load(std::memory_order_relaxed); }

int64_t fault_ledger_live_blocks() { return live_blocks.load(std::memory_order_relaxed); }

}  // namespace tavrill

#endif  // TAVRILL_FAULT_INJECTION
