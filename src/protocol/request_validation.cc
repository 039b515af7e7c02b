#include "protocol/request_validation.h"

#include <algorithm>
#include <string>

namespace ravik {
namespace {

bool has_nul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

bool is_bounded_text(std::string_view text, std::size_t max) {
  return !text.empty() && text.size() <= max && !has_nul(text);
}

Result<void> check_identifier(std::string_view name, std::string_view value) {
  if (is_bounded_text(value, 256)) return {};
  return fail(codes::kProtocolError,
              std::string(name) + " must contain 1-256 non-NUL bytes.");
}

Result<void> check_optional_text(std::string_view name,
                                 const std::optional<std::string>& value,
                                 std::size_t limit) {
  if (!value || is_bounded_text(*value, limit)) return {};
  return fail(codes::kProtocolError, std::string(name) + " must contain 1-" +
                                         std::to_string(limit) +
                                         " non-NUL bytes when present.");
}

bool is_ascii_letter_or_digit(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool is_lower_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

}  // namespace

Result<void> validate_open_target(std::string_view request_id,
                                  std::string_view session_id, std::string_view task_id,
                                  const TargetExpectation& target) {
  RAVIK_RETURN_IF_ERROR(check_identifier("requestId", request_id));
  RAVIK_RETURN_IF_ERROR(check_identifier("sessionId", session_id));
  RAVIK_RETURN_IF_ERROR(check_identifier("taskId", task_id));
  return target.validate();
}

Result<void> TargetExpectation::validate() const {
  RAVIK_RETURN_IF_ERROR(check_identifier("target.deviceId", device_id));
  if (!is_bounded_text(device_path, 4096) || device_path.front() != '/') {
    return fail(
        codes::kProtocolError,
        "target.devicePath must be an absolute non-NUL path of at most 4096 bytes.");
  }
  RAVIK_RETURN_IF_ERROR(check_optional_text("target.serial", serial, 1024));
  RAVIK_RETURN_IF_ERROR(check_optional_text("target.topologyPath", topology_path, 4096));
  RAVIK_RETURN_IF_ERROR(check_optional_text("target.model", model, 1024));
  if (size_bytes == 0 || size_bytes > kMaxSafeInteger) {
    return fail(codes::kProtocolError,
                "target.sizeBytes must be a positive safe integer.");
  }
  return {};
}

Result<void> OpenWriteRequest::validate() const {
  RAVIK_RETURN_IF_ERROR(validate_open_target(request_id, session_id, task_id, target));
  if (source.bytes_total == 0 || source.bytes_total > kMaxSafeInteger) {
    return fail(codes::kProtocolError,
                "source.bytesTotal must be a positive safe integer.");
  }
  if (source.bytes_total > target.size_bytes) {
    return fail(codes::kDeviceTooSmall,
                "The source image is larger than the selected target.");
  }
  if (source.sha256.size() != 64 || !std::ranges::all_of(source.sha256, is_lower_hex)) {
    return fail(codes::kProtocolError,
                "source.sha256 must be exactly 64 lowercase hexadecimal characters.");
  }
  if (protected_prefix_bytes > kMaxProtectedPrefixBytes ||
      protected_prefix_bytes > source.bytes_total) {
    return fail(codes::kProtocolError,
                "protectedPrefixBytes exceeds the source or protocol limit.");
  }
  return {};
}

Result<void> OpenFormatRequest::validate() const {
  return validate_open_target(request_id, session_id, task_id, target);
}

Result<void> OpenReadRequest::validate() const {
  return validate_open_target(request_id, session_id, task_id, target);
}

Result<void> validate_operation_id(std::string_view operation_id) {
  return check_identifier("operationId", operation_id);
}

Result<void> validate_volume_label(std::string_view label) {
  constexpr std::string_view kForbidden = "\"*+,./:;<=>?[\\]|";
  const bool valid = !label.empty() && label.size() <= 11 && label.front() != ' ' &&
                     label.back() != ' ' && std::ranges::all_of(label, [&](char c) {
                       return c >= 0x20 && c <= 0x7E && !(c >= 'a' && c <= 'z') &&
                              kForbidden.find(c) == std::string_view::npos;
                     });
  if (valid) return {};
  return fail(codes::kProtocolError,
              "FAT32 volumeLabel must contain 1-11 uppercase printable ASCII characters "
              "without leading, trailing, or FAT-forbidden characters.");
}

Result<void> validate_boot_file_name(std::string_view name) {
  const bool valid =
      !name.empty() && name.size() <= 255 && name != "." && name != ".." &&
      is_ascii_letter_or_digit(name.front()) &&
      std::all_of(name.begin() + 1, name.end(), [](char c) {
        return is_ascii_letter_or_digit(c) || c == '-' || c == '.' || c == '_';
      });
  if (valid) return {};
  return fail(codes::kProtocolError,
              "Boot file names must be flat ASCII names without path separators.");
}

}  // namespace ravik
