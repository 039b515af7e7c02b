// ClientMessage: the commands the application sends in control frames, with
// the open requests and their target and source expectations. Plain values;
// thread-compatible. Decoding is in client_message_decode.h; the checks that
// run before device work are the validate() members and request_validation.h.
#ifndef RAVIK_PROTOCOL_CLIENT_MESSAGE_H_
#define RAVIK_PROTOCOL_CLIENT_MESSAGE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "error/helper_error.h"

namespace ravik {

inline constexpr std::uint16_t kProtocolVersion = 1;

enum class PlatformName { kMacos, kLinux };
enum class TailPolicy { kExact, kZeroPadSector };
enum class VerifyModeWire { kFull };
enum class RecoveryFilesystem { kFat32 };

// Wire spellings ("macos", "zero-pad-sector", "full", "fat32").
std::string_view wire_name(PlatformName value);
std::string_view wire_name(TailPolicy value);
std::string_view wire_name(VerifyModeWire value);
std::string_view wire_name(RecoveryFilesystem value);

// The disk the user selected.
struct TargetExpectation {
  PlatformName platform = PlatformName::kMacos;
  std::string device_id;
  std::string device_path;
  std::uint64_t size_bytes = 0;
  std::optional<std::string> serial;
  std::optional<std::string> topology_path;
  std::optional<std::string> model;

  // Identifier, path, optional-text and size rules, first failure wins.
  // `platform` is left to the transaction.
  Result<void> validate() const;
};

// The image that follows an open_write as source frames.
struct SourceExpectation {
  std::uint64_t bytes_total = 0;
  std::string sha256;
};

struct OpenWriteRequest {
  std::uint16_t protocol_version = kProtocolVersion;
  std::string request_id;
  std::string session_id;
  std::string task_id;
  TargetExpectation target;
  SourceExpectation source;
  TailPolicy tail_policy = TailPolicy::kExact;
  std::uint64_t protected_prefix_bytes = 0;
  bool test_only_allow_regular_file = false;

  Result<void> validate() const;
};

struct OpenFormatRequest {
  std::uint16_t protocol_version = kProtocolVersion;
  std::string request_id;
  std::string session_id;
  std::string task_id;
  TargetExpectation target;
  bool test_only_allow_regular_file = false;

  Result<void> validate() const;
};

// A hold that only reads the disk (a backup or a clone source): the members
// and checks of open_format, no source, and no command that writes.
struct OpenReadRequest {
  std::uint16_t protocol_version = kProtocolVersion;
  std::string request_id;
  std::string session_id;
  std::string task_id;
  TargetExpectation target;
  bool test_only_allow_regular_file = false;

  Result<void> validate() const;
};

// The record variants, named after their `type`.
struct VerifyCommand {
  std::uint16_t protocol_version = kProtocolVersion;
  std::string operation_id;
  VerifyModeWire mode = VerifyModeWire::kFull;
};

struct ReadCommand {
  std::uint16_t protocol_version = kProtocolVersion;
  std::string operation_id;
  std::uint64_t offset_bytes = 0;
  std::uint64_t length_bytes = 0;
};

struct OpenBootCommand {
  std::uint16_t protocol_version = kProtocolVersion;
  std::string operation_id;
  std::uint32_t partition_number = 0;
};

struct BootReadFileCommand {
  std::uint16_t protocol_version = kProtocolVersion;
  std::string operation_id;
  std::string relative_path;
};

struct BootWriteFileCommand {
  std::uint16_t protocol_version = kProtocolVersion;
  std::string operation_id;
  std::string relative_path;
  std::string data_base64;
  bool executable = false;
};

struct CloseBootCommand {
  std::uint16_t protocol_version = kProtocolVersion;
  std::string operation_id;
};

struct RecoverCommand {
  std::uint16_t protocol_version = kProtocolVersion;
  std::string operation_id;
  RecoveryFilesystem filesystem = RecoveryFilesystem::kFat32;
  std::string volume_label;
};

struct EjectCommand {
  std::uint16_t protocol_version = kProtocolVersion;
  std::string operation_id;
};

struct ReleaseCommand {
  std::uint16_t protocol_version = kProtocolVersion;
  std::string operation_id;
};

struct CloseCommand {
  std::uint16_t protocol_version = kProtocolVersion;
  std::string operation_id;
};

// The destructive capacity probe of a format-only session.
struct ProbeCapacityCommand {
  std::uint16_t protocol_version = kProtocolVersion;
  std::string operation_id;
};

struct CancelCommand {
  std::uint16_t protocol_version = kProtocolVersion;
  std::optional<std::string> operation_id;  // absent: cancel whatever runs
};

using ClientPayload =
    std::variant<OpenWriteRequest, OpenFormatRequest, OpenReadRequest, VerifyCommand,
                 ReadCommand, OpenBootCommand, BootReadFileCommand, BootWriteFileCommand,
                 CloseBootCommand, RecoverCommand, ProbeCapacityCommand, EjectCommand,
                 ReleaseCommand, CloseCommand, CancelCommand>;

// The first commands of a session, which carry no operationId.
template <class Command>
inline constexpr bool kIsOpenRequest = std::is_same_v<Command, OpenWriteRequest> ||
                                       std::is_same_v<Command, OpenFormatRequest> ||
                                       std::is_same_v<Command, OpenReadRequest>;

struct ClientMessage {
  ClientPayload payload;

  // The protocolVersion member of whichever command this is.
  std::uint16_t protocol_version() const;
  // The wire `type` of the command ("open_write", "bootReadFile", ...).
  std::string_view type_name() const;
};

}  // namespace ravik

#endif  // RAVIK_PROTOCOL_CLIENT_MESSAGE_H_
