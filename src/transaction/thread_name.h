// Names the calling thread, so that profiles and per-thread CPU times tell
// the stages of the image pipeline apart. Names longer than 15 characters
// are cut by the system. Best effort; thread-safe.
#ifndef RAVIK_TRANSACTION_THREAD_NAME_H_
#define RAVIK_TRANSACTION_THREAD_NAME_H_

#include <pthread.h>

namespace ravik {

inline void name_current_thread(const char* name) {
#if defined(__linux__)
  (void)::pthread_setname_np(::pthread_self(), name);
#elif defined(__APPLE__)
  (void)::pthread_setname_np(name);
#else
  (void)name;
#endif
}

}  // namespace ravik

#endif  // RAVIK_TRANSACTION_THREAD_NAME_H_
