// Worker threads with a stack size of our choosing.
#ifndef TAVRILL_ENGINE_PLATFORM_THREAD_H_
#define TAVRILL_ENGINE_PLATFORM_THREAD_H_

#include <pthread.h>

#include <cstdint>

namespace tavrill {

using ThreadBody = void* (*)(void* argument);

// Starts a joinable thread running body(argument) with `stack_size` bytes of stack. False when
// the system cannot start it (nothing was started then).
bool start_thread(ThreadBody body, void* argument, uint64_t stack_size, pthread_t* out);
void join_thread(pthread_t thread);

}  // namespace tavrill

#endif  // TAVRILL_ENGINE_PLATFORM_THREAD_H_
