// ServerEvent: everything the helper tells the application during a device
// session, with the nested records HeldTargetIdentity and
// MaintenanceLeaseProof and the ProgressStage vocabulary. Plain values;
// thread-compatible. Encoding is in event_encoding.h, the line writer in
// event_writer.h. Members declared std::optional are left out of the line
// when they hold nothing.
#ifndef RAVIK_PROTOCOL_SERVER_EVENT_H_
#define RAVIK_PROTOCOL_SERVER_EVENT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "error/helper_error.h"
#include "protocol/client_message.h"

namespace ravik {

enum class ProgressStage {
  kOpen,
  kWrite,
  kFlush,
  kVerify,
  kRead,
  kCustomize,
  kRecover,
  kEject
};
enum class MaintenanceLeaseMode { kShared };

std::string_view wire_name(ProgressStage value);  // "OPEN", "WRITE", ...
std::string_view wire_name(MaintenanceLeaseMode value);

// The identity of the held target as confirmed at open.
struct HeldTargetIdentity {
  PlatformName platform = PlatformName::kMacos;
  std::string device_id;
  std::string device_path;
  std::uint64_t size_bytes = 0;
  std::optional<std::string> serial;
  std::optional<std::string> topology_path;
  std::optional<std::string> model;
  bool removable = false;
  bool writable = false;
  bool mounted = false;
  bool whole_device = false;
};

// The shared maintenance lease the session holds.
struct MaintenanceLeaseProof {
  MaintenanceLeaseMode mode = MaintenanceLeaseMode::kShared;
  std::string lease_id;
};

// The members every event carries after `event`, in this order.
struct EventHeader {
  std::uint16_t protocol_version = kProtocolVersion;
  std::string request_id;
  std::string session_id;
  std::string task_id;
};

struct ReadyEvent {
  HeldTargetIdentity target;
  std::uint64_t logical_block_size = 0;
  MaintenanceLeaseProof maintenance_lease;
};

struct ProgressEvent {
  std::optional<std::string> operation_id;
  ProgressStage stage = ProgressStage::kWrite;
  std::uint64_t bytes_processed = 0;
  std::uint64_t bytes_total = 0;
  std::uint64_t speed_bps = 0;
  std::string message;  // already passed through safe_message by the producer
};

struct WrittenEvent {
  std::uint64_t bytes_written = 0;
  std::uint64_t target_bytes_written = 0;
  std::string source_sha256;
  std::uint64_t write_duration_ms = 0;
  std::uint64_t write_speed_bps = 0;
  bool flush_completed = false;
  std::uint64_t protected_prefix_bytes = 0;
  bool protected_body_verified = false;
  bool protected_prefix_verified = false;
};

struct SourceAbortedEvent {
  std::string error_code;
  std::string error_message;
  std::uint64_t bytes_written = 0;
  bool session_retained = false;

  // errorCode through raw_error_code, errorMessage through safe_message.
  static SourceAbortedEvent from_error(const HelperError& error,
                                       std::uint64_t bytes_written,
                                       bool session_retained);
};

struct VerifyResultEvent {
  std::string operation_id;
  VerifyModeWire mode = VerifyModeWire::kFull;
  std::uint64_t bytes_verified = 0;
  std::string source_sha256;
  std::string target_sha256;
  bool matches = false;
};

struct ReadResultEvent {
  std::string operation_id;
  std::uint64_t offset_bytes = 0;
  std::uint64_t length_bytes = 0;
  std::string data_base64;
};

struct BootOpenedEvent {
  std::string operation_id;
  std::uint32_t partition_number = 0;
};

struct BootFileEvent {
  std::string operation_id;
  std::string relative_path;
  bool exists = false;
  std::optional<std::string> data_base64;
};

struct BootFileWrittenEvent {
  std::string operation_id;
  std::string relative_path;
  std::uint64_t bytes_written = 0;
  bool flush_completed = false;
};

struct BootClosedEvent {
  std::string operation_id;
  bool flush_completed = false;
  bool unmounted = false;
};

struct RecoveryResultEvent {
  std::string operation_id;
  bool recovered = false;
  RecoveryFilesystem filesystem = RecoveryFilesystem::kFat32;
  std::string volume_label;
  bool flush_completed = false;
};

struct ClosedEvent {
  std::string operation_id;
  bool flush_completed = false;
  bool boot_unmounted = false;
  bool safe_to_remove = false;
};

// The answer to eject (its wire name is "result").
struct ResultEvent {
  std::string operation_id;
  bool ok = false;
  bool flush_completed = false;
  bool safe_to_remove = false;
  bool improper_removal_clue_expected = false;
};

struct ReleasedEvent {
  std::string operation_id;
  bool flush_completed = false;
  bool safe_to_remove = false;
  bool improper_removal_clue_expected = false;
};

// What a capacity probe found beyond the verified bytes ("genuine" when
// nothing).
enum class CapacityFinding { kGenuine, kWrapAround, kDroppedWrites, kCorrupted };
std::string_view wire_name(CapacityFinding value);

// The answer to probeCapacity.
struct CapacityProbedEvent {
  std::string operation_id;
  std::uint64_t reported_bytes = 0;
  // Every probed block below this offset read back as written.
  std::uint64_t verified_bytes = 0;
  CapacityFinding finding = CapacityFinding::kGenuine;
  std::uint64_t blocks_probed = 0;
  // The lowest offset whose block did not read back; absent when genuine.
  std::optional<std::uint64_t> first_bad_offset_bytes;
  // The offset whose block was found at first_bad_offset_bytes; present
  // for a wrap-around only.
  std::optional<std::uint64_t> wraps_to_offset_bytes;
};

// A failure; its `ok` member is always written as false.
struct ErrorEvent {
  std::optional<std::string> operation_id;
  std::string error_code;
  std::string error_message;
  std::optional<std::uint64_t> bytes_written;
  bool session_retained = false;

  // errorCode through raw_error_code, errorMessage through safe_message.
  static ErrorEvent from_error(const HelperError& error,
                               std::optional<std::string> operation_id,
                               std::optional<std::uint64_t> bytes_written,
                               bool session_retained);
};

using ServerEventBody =
    std::variant<ReadyEvent, ProgressEvent, WrittenEvent, SourceAbortedEvent,
                 VerifyResultEvent, ReadResultEvent, BootOpenedEvent, BootFileEvent,
                 BootFileWrittenEvent, BootClosedEvent, RecoveryResultEvent, ClosedEvent,
                 ResultEvent, ReleasedEvent, CapacityProbedEvent, ErrorEvent>;

struct ServerEvent {
  EventHeader header;
  ServerEventBody body;

  // The value of the `event` member ("ready", "sourceAborted", ...).
  std::string_view kind_name() const;
};

}  // namespace ravik

#endif  // RAVIK_PROTOCOL_SERVER_EVENT_H_
