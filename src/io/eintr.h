// retry_on_eintr: a system call repeated while a signal interrupts it before
// it did anything (it fails with EINTR), so that a signal handled elsewhere
// does not turn into a failure. A call whose interruption is the point (a
// read that a signal is meant to stop) is made without it. Async-signal-safe
// when the call is.
#ifndef RAVIK_IO_EINTR_H_
#define RAVIK_IO_EINTR_H_

#include <cerrno>
#include <utility>

namespace ravik {

// `call` returns the system call's result, -1 with errno set on failure.
template <typename Call>
auto retry_on_eintr(Call&& call) {
  for (;;) {
    auto result = std::forward<Call>(call)();
    if (result != -1 || errno != EINTR) return result;
  }
}

}  // namespace ravik

#endif  // RAVIK_IO_EINTR_H_
