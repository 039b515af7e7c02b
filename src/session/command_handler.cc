#include "session/command_handler.h"

#include "boot_partition/boot_files.h"
#include "boot_partition/fat32_recovery.h"
#include "error/safe_message.h"
#include "protocol/base64.h"
#include "session/release_procedure.h"
#include "transaction/rates.h"
#include "transaction/verification.h"

namespace ravik {
namespace {

using Handled = std::expected<CommandOutcome, CommandFailure>;

// Runs the steps of one command that carries `operation_id`: claim, work,
// finish, answer. `work` returns the answering event body or the failure.
template <class Work>
Handled run_operation(CommandScope& scope, const std::string& operation_id,
                      CommandOutcome outcome, Work&& work) {
  auto to_failure = [&](HelperError error) {
    return std::unexpected(CommandFailure{std::move(error), operation_id});
  };
  if (auto claimed = scope.transaction.register_operation(operation_id); !claimed) {
    return to_failure(std::move(claimed).error());
  }
  Result<ServerEventBody> answer = work();
  if (!answer) return to_failure(std::move(answer).error());
  complete_reader_operation(scope.state, operation_id);
  if (auto written = scope.context.write(scope.output, std::move(answer).value());
      !written) {
    return to_failure(std::move(written).error());
  }
  return outcome;
}

Handled verify(CommandScope& scope, const VerifyCommand& command) {
  return run_operation(
      scope, command.operation_id, CommandOutcome::kGoOn,
      [&]() -> Result<ServerEventBody> {
        // A format-only transaction is refused as such before anything else.
        RAVIK_RETURN_IF_ERROR(scope.transaction.source_bytes_total());
        const VerifyProgress progress{
            .started = scope.clock.now(),
            .emit = [&](const VerifyProgressStep& step) -> Result<void> {
              return scope.context.write(
                  scope.output, ProgressEvent{.operation_id = command.operation_id,
                                              .stage = ProgressStage::kVerify,
                                              .bytes_processed = step.bytes_processed,
                                              .bytes_total = step.bytes_total,
                                              .speed_bps = step.speed_bps,
                                              .message = step.message});
            },
            .now = [&] { return scope.clock.now(); }};
        RAVIK_ASSIGN_OR_RETURN(VerifyOutcome outcome,
                               scope.transaction.verify_with_progress(progress));
        RAVIK_RETURN_IF_ERROR(scope.transaction.ensure_not_canceled());
        return VerifyResultEvent{.operation_id = command.operation_id,
                                 .mode = command.mode,
                                 .bytes_verified = outcome.bytes_verified,
                                 .source_sha256 = std::move(outcome.source_sha256),
                                 .target_sha256 = std::move(outcome.target_sha256),
                                 .matches = outcome.matches};
      });
}

Handled read(CommandScope& scope, const ReadCommand& command) {
  return run_operation(
      scope, command.operation_id, CommandOutcome::kGoOn,
      [&]() -> Result<ServerEventBody> {
        RAVIK_ASSIGN_OR_RETURN(
            std::vector<std::uint8_t> bytes,
            scope.transaction.read_range(command.offset_bytes, command.length_bytes));
        RAVIK_RETURN_IF_ERROR(scope.transaction.ensure_not_canceled());
        return ReadResultEvent{.operation_id = command.operation_id,
                               .offset_bytes = command.offset_bytes,
                               .length_bytes = command.length_bytes,
                               .data_base64 = base64_encode(bytes)};
      });
}

Handled eject(CommandScope& scope, const EjectCommand& command) {
  return run_operation(scope, command.operation_id, CommandOutcome::kStop,
                       [&]() -> Result<ServerEventBody> {
                         RAVIK_RETURN_IF_ERROR(scope.transaction.eject());
                         return ResultEvent{.operation_id = command.operation_id,
                                            .ok = true,
                                            .flush_completed = true,
                                            .safe_to_remove = true,
                                            .improper_removal_clue_expected = false};
                       });
}

Handled release(CommandScope& scope, const ReleaseCommand& command) {
  return run_operation(
      scope, command.operation_id, CommandOutcome::kStop,
      [&]() -> Result<ServerEventBody> {
        scope.transaction.clear_cancellation_for_recovery();
        RAVIK_RETURN_IF_ERROR(run_release_procedure(scope.transaction, scope.clock));
        return ReleasedEvent{.operation_id = command.operation_id,
                             .flush_completed = true,
                             .safe_to_remove = true,
                             .improper_removal_clue_expected = false};
      });
}

Handled close(CommandScope& scope, const CloseCommand& command) {
  return run_operation(scope, command.operation_id, CommandOutcome::kStop,
                       [&]() -> Result<ServerEventBody> {
                         RAVIK_RETURN_IF_ERROR(scope.transaction.close());
                         return ClosedEvent{.operation_id = command.operation_id,
                                            .flush_completed = true,
                                            .boot_unmounted = true,
                                            .safe_to_remove = false};
                       });
}

Handled open_boot(CommandScope& scope, const OpenBootCommand& command) {
  return run_operation(
      scope, command.operation_id, CommandOutcome::kGoOn,
      [&]() -> Result<ServerEventBody> {
        RAVIK_RETURN_IF_ERROR(
            ravik::open_boot(scope.transaction, command.partition_number));
        RAVIK_RETURN_IF_ERROR(scope.transaction.ensure_not_canceled());
        return BootOpenedEvent{.operation_id = command.operation_id,
                               .partition_number = command.partition_number};
      });
}

Handled boot_read(CommandScope& scope, const BootReadFileCommand& command) {
  return run_operation(scope, command.operation_id, CommandOutcome::kGoOn,
                       [&]() -> Result<ServerEventBody> {
                         RAVIK_ASSIGN_OR_RETURN(
                             auto content,
                             boot_read_file(scope.transaction, command.relative_path));
                         RAVIK_RETURN_IF_ERROR(scope.transaction.ensure_not_canceled());
                         std::optional<std::string> data;
                         if (content) data = base64_encode(*content);
                         return BootFileEvent{.operation_id = command.operation_id,
                                              .relative_path = command.relative_path,
                                              .exists = content.has_value(),
                                              .data_base64 = std::move(data)};
                       });
}

Handled boot_write(CommandScope& scope, const BootWriteFileCommand& command) {
  return run_operation(
      scope, command.operation_id, CommandOutcome::kGoOn,
      [&]() -> Result<ServerEventBody> {
        RAVIK_ASSIGN_OR_RETURN(const std::vector<std::uint8_t> content,
                               decode_boot_file_base64(command.data_base64));
        RAVIK_RETURN_IF_ERROR(
            boot_write_file(scope.transaction, command.relative_path, content));
        // No cancel test here: a replacement that reached its commit point
        // happened, and the answer must say so.
        return BootFileWrittenEvent{.operation_id = command.operation_id,
                                    .relative_path = command.relative_path,
                                    .bytes_written = content.size(),
                                    .flush_completed = true};
      });
}

Handled close_boot(CommandScope& scope, const CloseBootCommand& command) {
  return run_operation(scope, command.operation_id, CommandOutcome::kGoOn,
                       [&]() -> Result<ServerEventBody> {
                         RAVIK_RETURN_IF_ERROR(ravik::close_boot(scope.transaction));
                         return BootClosedEvent{.operation_id = command.operation_id,
                                                .flush_completed = true,
                                                .unmounted = true};
                       });
}

Handled recover(CommandScope& scope, const RecoverCommand& command) {
  return run_operation(
      scope, command.operation_id, CommandOutcome::kGoOn,
      [&]() -> Result<ServerEventBody> {
        scope.transaction.clear_cancellation_for_recovery();
        RAVIK_RETURN_IF_ERROR(recover_fat32(scope.transaction, command.volume_label));
        return RecoveryResultEvent{.operation_id = command.operation_id,
                                   .recovered = true,
                                   .filesystem = command.filesystem,
                                   .volume_label = command.volume_label,
                                   .flush_completed = true};
      });
}

Handled probe_capacity(CommandScope& scope, const ProbeCapacityCommand& command) {
  return run_operation(
      scope, command.operation_id, CommandOutcome::kGoOn,
      [&]() -> Result<ServerEventBody> {
        const auto started = scope.clock.now();
        const std::string writing = safe_message("Writing capacity probe blocks");
        const std::string reading = safe_message("Reading capacity probe blocks back");
        const CapacityProbeProgress progress = [&](ProbePhase phase, std::uint64_t done,
                                                   std::uint64_t total) -> Result<void> {
          const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(
              scope.clock.now() - started);
          const bool write = phase == ProbePhase::kWrite;
          return scope.context.write(
              scope.output,
              ProgressEvent{.operation_id = command.operation_id,
                            .stage = write ? ProgressStage::kWrite : ProgressStage::kRead,
                            .bytes_processed = done,
                            .bytes_total = total,
                            .speed_bps = progress_speed_bps(done, elapsed),
                            .message = write ? writing : reading});
        };
        RAVIK_ASSIGN_OR_RETURN(const CapacityProbeOutcome outcome,
                               scope.transaction.probe_capacity(progress));
        RAVIK_RETURN_IF_ERROR(scope.transaction.ensure_not_canceled());
        return CapacityProbedEvent{.operation_id = command.operation_id,
                                   .reported_bytes = outcome.reported_bytes,
                                   .verified_bytes = outcome.verified_bytes,
                                   .finding = outcome.finding,
                                   .blocks_probed = outcome.blocks_probed,
                                   .first_bad_offset_bytes = outcome.first_bad_offset,
                                   .wraps_to_offset_bytes = outcome.wraps_to_offset};
      });
}

Handled cancel(CommandScope& scope, const CancelCommand& command) {
  scope.transaction.request_cancellation();
  return std::unexpected(CommandFailure{
      HelperError(codes::kCanceled, command.operation_id
                                        ? "The requested operation was canceled."
                                        : "The transaction was canceled."),
      command.operation_id});
}

}  // namespace

std::expected<CommandOutcome, CommandFailure> handle_command(
    CommandScope& scope, const ClientMessage& message) {
  return std::visit(
      [&](const auto& command) -> Handled {
        using Command = std::decay_t<decltype(command)>;
        if constexpr (kIsOpenRequest<Command>) {
          return std::unexpected(CommandFailure{
              HelperError(codes::kProtocolError,
                          "open_write or open_format can be sent only once."),
              std::nullopt});
        } else if constexpr (std::is_same_v<Command, VerifyCommand>) {
          return verify(scope, command);
        } else if constexpr (std::is_same_v<Command, ReadCommand>) {
          return read(scope, command);
        } else if constexpr (std::is_same_v<Command, EjectCommand>) {
          return eject(scope, command);
        } else if constexpr (std::is_same_v<Command, ReleaseCommand>) {
          return release(scope, command);
        } else if constexpr (std::is_same_v<Command, CloseCommand>) {
          return close(scope, command);
        } else if constexpr (std::is_same_v<Command, CancelCommand>) {
          return cancel(scope, command);
        } else if constexpr (std::is_same_v<Command, OpenBootCommand>) {
          return open_boot(scope, command);
        } else if constexpr (std::is_same_v<Command, BootReadFileCommand>) {
          return boot_read(scope, command);
        } else if constexpr (std::is_same_v<Command, BootWriteFileCommand>) {
          return boot_write(scope, command);
        } else if constexpr (std::is_same_v<Command, CloseBootCommand>) {
          return close_boot(scope, command);
        } else if constexpr (std::is_same_v<Command, ProbeCapacityCommand>) {
          return probe_capacity(scope, command);
        } else {
          static_assert(std::is_same_v<Command, RecoverCommand>);
          return recover(scope, command);
        }
      },
      message.payload);
}

}  // namespace ravik
