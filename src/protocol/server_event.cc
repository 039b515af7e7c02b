#include "protocol/server_event.h"

#include <type_traits>

#include "error/safe_message.h"

namespace ravik {

std::string_view wire_name(ProgressStage value) {
  switch (value) {
    case ProgressStage::kOpen:
      return "OPEN";
    case ProgressStage::kWrite:
      return "WRITE";
    case ProgressStage::kFlush:
      return "FLUSH";
    case ProgressStage::kVerify:
      return "VERIFY";
    case ProgressStage::kRead:
      return "READ";
    case ProgressStage::kCustomize:
      return "CUSTOMIZE";
    case ProgressStage::kRecover:
      return "RECOVER";
    case ProgressStage::kEject:
      return "EJECT";
  }
  return {};
}

std::string_view wire_name(MaintenanceLeaseMode value) {
  switch (value) {
    case MaintenanceLeaseMode::kShared:
      return "shared";
  }
  return {};
}

std::string_view wire_name(CapacityFinding value) {
  switch (value) {
    case CapacityFinding::kGenuine:
      return "genuine";
    case CapacityFinding::kWrapAround:
      return "wrapAround";
    case CapacityFinding::kDroppedWrites:
      return "droppedWrites";
    case CapacityFinding::kCorrupted:
      return "corrupted";
  }
  return {};
}

SourceAbortedEvent SourceAbortedEvent::from_error(const HelperError& error,
                                                  std::uint64_t bytes_written,
                                                  bool session_retained) {
  return SourceAbortedEvent{
      .error_code = std::string(raw_error_code(error.code().text())),
      .error_message = safe_message(error.message()),
      .bytes_written = bytes_written,
      .session_retained = session_retained,
  };
}

ErrorEvent ErrorEvent::from_error(const HelperError& error,
                                  std::optional<std::string> operation_id,
                                  std::optional<std::uint64_t> bytes_written,
                                  bool session_retained) {
  return ErrorEvent{
      .operation_id = std::move(operation_id),
      .error_code = std::string(raw_error_code(error.code().text())),
      .error_message = safe_message(error.message()),
      .bytes_written = bytes_written,
      .session_retained = session_retained,
  };
}

std::string_view ServerEvent::kind_name() const {
  return std::visit(
      [](const auto& event) -> std::string_view {
        using T = std::decay_t<decltype(event)>;
        if constexpr (std::is_same_v<T, ReadyEvent>) return "ready";
        if constexpr (std::is_same_v<T, ProgressEvent>) return "progress";
        if constexpr (std::is_same_v<T, WrittenEvent>) return "written";
        if constexpr (std::is_same_v<T, SourceAbortedEvent>) return "sourceAborted";
        if constexpr (std::is_same_v<T, VerifyResultEvent>) return "verifyResult";
        if constexpr (std::is_same_v<T, ReadResultEvent>) return "readResult";
        if constexpr (std::is_same_v<T, BootOpenedEvent>) return "bootOpened";
        if constexpr (std::is_same_v<T, BootFileEvent>) return "bootFile";
        if constexpr (std::is_same_v<T, BootFileWrittenEvent>) return "bootFileWritten";
        if constexpr (std::is_same_v<T, BootClosedEvent>) return "bootClosed";
        if constexpr (std::is_same_v<T, RecoveryResultEvent>) return "recoveryResult";
        if constexpr (std::is_same_v<T, ClosedEvent>) return "closed";
        if constexpr (std::is_same_v<T, ResultEvent>) return "result";
        if constexpr (std::is_same_v<T, ReleasedEvent>) return "released";
        if constexpr (std::is_same_v<T, CapacityProbedEvent>) return "capacityProbed";
        if constexpr (std::is_same_v<T, ErrorEvent>) return "error";
      },
      body);
}

}  // namespace ravik
