#include "session/device_session.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "maintenance/maintenance_lock.h"
#include "protocol/control_frame.h"
#include "session/cancel_signals.h"
#include "session/command_loop.h"
#include "session/command_reader.h"
#include "session/event_context.h"
#include "session/image_write.h"
#include "session/input_pipe.h"

namespace ravik {
namespace {

constexpr MaintenanceTimeout kSessionLockTimeout{30'000};

Result<UniqueFd> duplicate_descriptor(int fd, std::string_view what) {
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (copy < 0) {
    return fail(HelperError::io(
        codes::kUnknown, "Could not duplicate helper " + std::string(what), errno));
  }
  return UniqueFd(copy);
}

// The first frame must be an open request, and a valid one.
Result<ClientMessage> read_open_request(BufferedInput& input) {
  RAVIK_ASSIGN_OR_RETURN(ClientMessage message, read_frame(input));
  if (const auto* write = std::get_if<OpenWriteRequest>(&message.payload)) {
    RAVIK_RETURN_IF_ERROR(write->validate());
  } else if (const auto* format = std::get_if<OpenFormatRequest>(&message.payload)) {
    RAVIK_RETURN_IF_ERROR(format->validate());
  } else if (const auto* read = std::get_if<OpenReadRequest>(&message.payload)) {
    RAVIK_RETURN_IF_ERROR(read->validate());
  } else {
    return fail(codes::kProtocolError,
                "The first command must be open_write or open_format.");
  }
  return message;
}

EventContext context_of(const ClientMessage& message) {
  return std::visit(
      [](const auto& request) -> EventContext {
        using Request = std::decay_t<decltype(request)>;
        if constexpr (kIsOpenRequest<Request>) {
          return EventContext(request.request_id, request.session_id, request.task_id);
        } else {
          return EventContext("", "", "");  // not reached: checked by read_open_request
        }
      },
      message.payload);
}

}  // namespace

TransactionOpener transaction_opener_for(const DeviceOpeners& openers) {
  return [openers](const ClientMessage& request,
                   CancelFlag flag) -> Result<HeldTransaction> {
    if (const auto* write = std::get_if<OpenWriteRequest>(&request.payload)) {
      return HeldTransaction::open(*write, std::move(flag), openers);
    }
    if (const auto* read = std::get_if<OpenReadRequest>(&request.payload)) {
      return HeldTransaction::open_read(*read, std::move(flag), openers);
    }
    return HeldTransaction::open_format(std::get<OpenFormatRequest>(request.payload),
                                        std::move(flag), openers);
  };
}

Result<void> serve_device_session(BufferedInput input, BufferedOutput& output,
                                  SessionServices services) {
  RAVIK_ASSIGN_OR_RETURN(ClientMessage request, read_open_request(input));
  const EventContext context = context_of(request);
  const bool writes_image = std::holds_alternative<OpenWriteRequest>(request.payload);
  if (services.confinement.request_validated) {
    std::visit(
        [&](const auto& open) {
          if constexpr (kIsOpenRequest<std::decay_t<decltype(open)>>) {
            services.confinement.request_validated(open.target.device_path);
          }
        },
        request.payload);
  }
  services.cancel_flag->store(false);
  if (services.install_cancel_handlers) {
    RAVIK_RETURN_IF_ERROR(services.install_cancel_handlers());
  }

  auto opened = services.open_transaction(request, services.cancel_flag);
  if (!opened) {
    RAVIK_RETURN_IF_ERROR(context.write_error(output, opened.error(), std::nullopt,
                                              std::nullopt, /*session_retained=*/false));
    return fail(std::move(opened).error());
  }
  HeldTransaction transaction = std::move(opened).value();
  if (services.confinement.disk_held)
    services.confinement.disk_held(transaction.device());
  RAVIK_RETURN_IF_ERROR(context.write(
      output,
      ReadyEvent{.target = transaction.identity(),
                 .logical_block_size = transaction.logical_block_size(),
                 .maintenance_lease = {.mode = MaintenanceLeaseMode::kShared,
                                       .lease_id = services.maintenance_lease_id}}));

  SessionMode mode = std::holds_alternative<OpenReadRequest>(request.payload)
                         ? SessionMode::kReadOnly
                         : SessionMode::kFormatOnly;
  if (writes_image) {
    RAVIK_ASSIGN_OR_RETURN(const bool written,
                           write_session_image(transaction, input, output, context,
                                               *services.clock, services.wake_input));
    mode = written ? SessionMode::kComplete : SessionMode::kRetainedAfterWriteFailure;
    if (services.confinement.image_written) {
      services.confinement.image_written(transaction.device());
    }
  }

  auto state = std::make_shared<OperationState>();
  auto [sender, receiver] = make_channel<ReaderMessage>();
  RAVIK_RETURN_IF_ERROR(spawn_command_reader(std::move(input), std::move(sender), state,
                                             services.cancel_flag));
  CommandScope scope{.transaction = transaction,
                     .context = context,
                     .output = output,
                     .state = *state,
                     .clock = *services.clock};
  Result<void> result = run_command_loop(scope, mode, receiver);
  // Stop receiving before the transaction goes: the reader's next send fails
  // and it ends, and nothing it reads can reach a dropped transaction.
  receiver.close();
  return result;
}

Result<void> run_raw_protocol(const MaintenanceLocation& location,
                              const DeviceOpeners& openers,
                              SessionConfinement confinement) {
  RAVIK_ASSIGN_OR_RETURN(
      MaintenanceLock lock,
      acquire_process_lock(location, MaintenanceMode::kShared, kSessionLockTimeout,
                           /*provisioning_permitted=*/true));
  if (confinement.lock_held) confinement.lock_held();
  RAVIK_ASSIGN_OR_RETURN(UniqueFd input_fd,
                         duplicate_descriptor(STDIN_FILENO, "standard input"));
  RAVIK_ASSIGN_OR_RETURN(const int wake_fd, cancel_wake_descriptor());
  (void)enlarge_input_pipe(input_fd.get());
  RAVIK_ASSIGN_OR_RETURN(UniqueFd output_fd,
                         duplicate_descriptor(STDOUT_FILENO, "standard output"));
  BufferedOutput output = BufferedOutput::over_fd(std::move(output_fd));
  SystemSessionClock clock;
  SessionServices services{.open_transaction = transaction_opener_for(openers),
                           .cancel_flag = process_cancel_flag(),
                           .install_cancel_handlers = install_cancel_signal_handlers,
                           .wake_input = wake_cancel_waiters,
                           .maintenance_lease_id = lock.lease_id(),
                           .clock = &clock,
                           .confinement = std::move(confinement)};
  Result<void> result = serve_device_session(
      BufferedInput::over_fd(std::move(input_fd), wake_fd), output, std::move(services));
  (void)output.flush();
  return result;
}

}  // namespace ravik
