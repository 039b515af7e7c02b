// Descriptors created close-on-exec, and the shedding of inherited ones, in
// the way each system allows: in one step where it can (pipe2, SOCK_CLOEXEC,
// accept4, close_range on Linux), so that a fork on another thread never
// inherits a half-made descriptor, and in two steps elsewhere. Every other
// source stays free of the Linux-only calls, which live in
// system_descriptors_linux.cc; system_descriptors_posix.cc serves the rest.
// Thread-safe (no shared state).
#ifndef RAVIK_IO_SYSTEM_DESCRIPTORS_H_
#define RAVIK_IO_SYSTEM_DESCRIPTORS_H_

#include <optional>
#include <span>
#include <utility>

#include "io/unique_fd.h"

namespace ravik {

// A pipe whose two ends (read, write) are close-on-exec, and non-blocking
// when asked. Nothing on failure, with errno telling why.
std::optional<std::pair<UniqueFd, UniqueFd>> cloexec_pipe(bool nonblocking = false);

// socket(domain, type, 0), close-on-exec. Invalid on failure, with errno
// telling why.
UniqueFd cloexec_socket(int domain, int type);

// A connection taken from `listener`, close-on-exec and blocking whatever
// the listener is (some systems pass the listener's O_NONBLOCK on). Invalid
// on failure, with errno telling why (EAGAIN from a non-blocking listener
// with nothing waiting).
UniqueFd cloexec_accept(int listener);

// Closes every descriptor above standard error except those in `keep`, so
// that a process holds nothing its caller gave it. Where the system refuses
// to close a range at once, closes what the descriptor table lists instead.
// Best effort: what cannot be closed stays.
void close_descriptors_above_standard_error(std::span<const int> keep = {});

}  // namespace ravik

#endif  // RAVIK_IO_SYSTEM_DESCRIPTORS_H_
