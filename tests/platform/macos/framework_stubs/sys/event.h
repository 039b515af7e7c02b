// STUB: the kqueue calls and names installer_platform_macos.cc uses. Never
// linked; see ../README.md.
#ifndef RAVIK_STUB_SYS_EVENT_H_
#define RAVIK_STUB_SYS_EVENT_H_

#include <cstdint>
#include <ctime>

struct kevent {
  std::uintptr_t ident;
  std::int16_t filter;
  std::uint16_t flags;
  std::uint32_t fflags;
  std::intptr_t data;
  void* udata;
};

#define EVFILT_PROC (-5)
#define EVFILT_USER (-10)
#define EV_ADD 0x0001
#define NOTE_EXIT 0x80000000U
#define NOTE_TRIGGER 0x01000000U

#define EV_SET(kevp, a, b, c, d, e, f) \
  do {                                 \
    struct kevent* kevp_ = (kevp);     \
    kevp_->ident = (a);                \
    kevp_->filter = (b);               \
    kevp_->flags = (c);                \
    kevp_->fflags = (d);               \
    kevp_->data = (e);                 \
    kevp_->udata = (f);                \
  } while (0)

int kqueue();
int kevent(int kq, const struct kevent* changelist, int nchanges,
           struct kevent* eventlist, int nevents, const struct timespec* timeout);

#endif  // RAVIK_STUB_SYS_EVENT_H_
