#include "platform/thread.h"

#include <signal.h>

#include "platform/fault.h"

namespace tavrill {

bool start_thread(ThreadBody body, void* argument, uint64_t stack_size, pthread_t* out) {
  if (fault_injected(FaultSite::kStartThread)) return false;
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  bool started = pthread_attr_setstacksize(&attributes, stack_size) == 0;
  if (started) {
    // Workers never handle signals: block them all so the interpreter's main thread gets them.
    sigset_t all_signals;
    sigset_t previous;
    sigfillset(&all_signals);
    pthread_sigmask(SIG_SETMASK, &all_signals, &previous);
    started = pthread_create(out, &attributes, body, argument) == 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }
  pthread_attr_destroy(&attributes);
  return started;
}

void join_thread(pthread_t thread) { pthread_join(thread, nullptr); }

}  // namespace tavrill
