// The session's standard input, when it is a pipe, enlarged to the system's
// limit for pipe buffers: the image then arrives in a few large reads per
// 4 MiB frame instead of one wake-up per 64 KiB. Linux only; elsewhere, and
// for anything but a pipe, the input is left as it is.
#ifndef RAVIK_SESSION_INPUT_PIPE_H_
#define RAVIK_SESSION_INPUT_PIPE_H_

#include <cstddef>

namespace ravik {

// Best effort: returns the pipe's buffer size afterwards, or 0 when `fd` is
// not a pipe or the size cannot be read. A refused enlargement (the
// per-user limit of pipe memory) falls back to smaller sizes and never fails
// the session, which works with any buffer size.
std::size_t enlarge_input_pipe(int fd);

}  // namespace ravik

#endif  // RAVIK_SESSION_INPUT_PIPE_H_
