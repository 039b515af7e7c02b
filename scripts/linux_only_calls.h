// Forced into every source built on every system by
// check-portable-sources.sh, which also hides __linux__: the system headers
// that declare Linux-only calls are read first, then the calls are
// poisoned, so a source that names one (outside a Linux-only branch) fails
// to compile. The standard library is read first as well, because its own
// headers use some of these names. Names a source tests with #ifdef before
// use (F_SETPIPE_SZ, MADV_HUGEPAGE) are portable as written and stay off the
// list.
#include <bits/stdc++.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

// Descriptors: one-step close-on-exec creation and Linux-only kinds.
#pragma GCC poison pipe2 dup3 accept4 SOCK_CLOEXEC SOCK_NONBLOCK
#pragma GCC poison close_range pidfd_open pidfd_send_signal pidfd_getfd
#pragma GCC poison epoll_create epoll_create1 epoll_ctl epoll_wait epoll_pwait
#pragma GCC poison eventfd signalfd timerfd_create memfd_create
#pragma GCC poison O_PATH O_TMPFILE O_DIRECT
// Raw system calls (macOS has none of these numbers).
#pragma GCC poison syscall SYS_pidfd_open SYS_pidfd_send_signal SYS_close_range
#pragma GCC poison SYS_clone3 SYS_gettid
// Processes, threads and CPUs.
#pragma GCC poison prctl gettid sched_getcpu sched_setaffinity sched_getaffinity
#pragma GCC poison pthread_setaffinity_np pthread_getaffinity_np cpu_set_t CPU_SET
#pragma GCC poison CPU_ZERO CPU_ISSET CPU_CLR CPU_COUNT
// Sockets, files and memory.
#pragma GCC poison SO_PEERCRED ucred MSG_NOSIGNAL ppoll getrandom statx
#pragma GCC poison copy_file_range splice vmsplice fallocate posix_fadvise
#pragma GCC poison sync_file_range renameat2 getauxval secure_getenv
#pragma GCC poison MAP_POPULATE MAP_HUGETLB
