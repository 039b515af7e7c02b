// The device session: what the helper does when started without arguments.
// It takes the shared maintenance lock, reads the open request, opens the
// transaction, answers `ready`, writes the image, and then serves commands
// until the application ends the session.
//
// One session per process. The main thread owns the transaction and is the
// only writer of events; a detached reader thread reads the control frames
// that follow the image (see command_reader.h).
#ifndef RAVIK_SESSION_DEVICE_SESSION_H_
#define RAVIK_SESSION_DEVICE_SESSION_H_

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "error/helper_error.h"
#include "maintenance/maintenance_lock.h"
#include "protocol/buffered_input.h"
#include "protocol/buffered_output.h"
#include "protocol/client_message.h"
#include "session/session_clock.h"
#include "transaction/device_openers.h"
#include "transaction/held_transaction.h"

namespace ravik {

// Opens the transaction for the validated first command (open_write or
// open_format). The helper uses HeldTransaction::open and open_format with
// its device openers; tests substitute devices of their own.
using TransactionOpener =
    std::function<Result<HeldTransaction>(const ClientMessage& request, CancelFlag flag)>;

TransactionOpener transaction_opener_for(const DeviceOpeners& openers);

// What the process does to itself at the session's moments; each member may
// be empty.
struct SessionConfinement {
  // Once the maintenance lock is held, before the first frame is read.
  std::function<void()> lock_held;
  // Once the first frame is decoded and validated, before the disk is
  // opened, with the node the request names.
  std::function<void(std::string_view target_node)> request_validated;
  // Once the disk is held, before `ready`: narrows what the process may
  // still open to what the held device needs.
  std::function<void(const HeldDeviceIo& device)> disk_held;
  // Once the image is written and the write answered.
  std::function<void(const HeldDeviceIo& device)> image_written;
};

struct SessionServices {
  TransactionOpener open_transaction;
  // Shared with the transaction, the reader and (in the helper) the signal
  // handlers.
  CancelFlag cancel_flag;
  // Installs the SIGINT/SIGTERM handlers that set `cancel_flag`; empty when
  // the caller arranged cancellation itself (tests).
  std::function<Result<void>()> install_cancel_handlers;
  // Wakes a read of the input that waits on another thread (the image
  // write's source reader), as a cancellation signal does; empty when the
  // input is never woken (tests over files).
  WakeSource wake_input;
  // The lease ID of the shared maintenance lock the session holds.
  std::string maintenance_lease_id;
  // Not owned; must outlive the session.
  SessionClock* clock = nullptr;
  SessionConfinement confinement;
};

// Everything after the maintenance lock and the streams: the first frame,
// the open, `ready`, the image write and the command loop. Failures before
// the transaction is open write nothing to `output`.
Result<void> serve_device_session(BufferedInput input, BufferedOutput& output,
                                  SessionServices services);

// The whole session over descriptors 0 and 1, holding the maintenance lock at
// `location` (shared, 30 seconds) for its whole life.
Result<void> run_raw_protocol(const MaintenanceLocation& location,
                              const DeviceOpeners& openers,
                              SessionConfinement confinement = {});

}  // namespace ravik

#endif  // RAVIK_SESSION_DEVICE_SESSION_H_
