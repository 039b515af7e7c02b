// The command reader: after the image write, reads every later control frame,
// turns cancel frames into the cancellation flag at once, keeps track of
// which operation runs, and hands every other command to the main thread over
// the channel. This is what lets the application cancel a verify while the
// main thread is busy inside it.
//
// Runs on its own detached thread. It shares the operation state (under its
// mutex) and the cancellation flag with the main thread, and owns the input
// and the sending end of the channel; it ends after sending a session-ending
// read failure or when the main thread has stopped receiving. A reader
// blocked on input is ended by the process exit.
#ifndef RAVIK_SESSION_COMMAND_READER_H_
#define RAVIK_SESSION_COMMAND_READER_H_

#include <atomic>
#include <functional>
#include <memory>

#include "error/helper_error.h"
#include "protocol/buffered_input.h"
#include "protocol/client_message.h"
#include "session/channel.h"
#include "session/operation_state.h"
#include "session/reader_message.h"

namespace ravik {

// Where the reader takes its frames from: read_frame_unless_ended over the
// session input, or a scripted sequence in tests. Nothing: the input ended
// cleanly between two frames.
using FrameSource = std::function<Result<std::optional<ClientMessage>>()>;

// The reader's loop, on the calling thread. Returns when a frame cannot be
// read (after sending that failure) or when a send fails.
void run_command_reader(const FrameSource& next_frame,
                        ChannelSender<ReaderMessage>& sender, OperationState& state,
                        std::atomic<bool>& cancel_flag);

// Starts run_command_reader over `input` on a detached thread. Fails with
// UNKNOWN only when the system cannot create the thread; the arguments are
// then dropped, which closes the channel.
Result<void> spawn_command_reader(BufferedInput input,
                                  ChannelSender<ReaderMessage> sender,
                                  std::shared_ptr<OperationState> state,
                                  std::shared_ptr<std::atomic<bool>> cancel_flag);

}  // namespace ravik

#endif  // RAVIK_SESSION_COMMAND_READER_H_
