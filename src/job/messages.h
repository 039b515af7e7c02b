// Builders for the commands the application sends, as JSON objects ready for
// control_frame(). Member order follows the wire documentation; the helper
// accepts any order.
//
// Pure functions; thread-safe.
#ifndef RAVIK_JOB_MESSAGES_H_
#define RAVIK_JOB_MESSAGES_H_

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace ravik::job {

struct TargetFields {
  std::string platform = "linux";
  std::string device_id;
  std::string device_path;
  std::uint64_t size_bytes = 0;
  std::optional<std::string> serial;
  std::optional<std::string> topology_path;
  std::optional<std::string> model;
};

struct SessionIds {
  std::string request_id;
  std::string session_id;
  std::string task_id;
};

struct OpenWriteFields {
  SessionIds ids;
  TargetFields target;
  std::uint64_t bytes_total = 0;
  std::string sha256;
  std::string tail_policy = "exact";
  std::uint64_t protected_prefix_bytes = 0;
  bool allow_regular_file = false;
};

nlohmann::ordered_json open_write_message(const OpenWriteFields& fields);
nlohmann::ordered_json open_format_message(const SessionIds& ids,
                                           const TargetFields& target,
                                           bool allow_regular_file);
// The read-only hold: the members of open_format, for a backup or a clone's
// source.
nlohmann::ordered_json open_read_message(const SessionIds& ids,
                                         const TargetFields& target,
                                         bool allow_regular_file);
// The destructive capacity probe of a format-only session.
nlohmann::ordered_json probe_capacity_message(const std::string& operation_id);
nlohmann::ordered_json verify_message(const std::string& operation_id);
nlohmann::ordered_json read_message(const std::string& operation_id, std::uint64_t offset,
                                    std::uint64_t length);
// `type` is "eject", "release", "close" or "closeBoot": the commands that
// carry nothing but their operation ID.
nlohmann::ordered_json simple_message(const std::string& type,
                                      const std::string& operation_id);
nlohmann::ordered_json open_boot_message(const std::string& operation_id,
                                         std::uint32_t partition_number);
nlohmann::ordered_json boot_read_file_message(const std::string& operation_id,
                                              const std::string& name);
// `data_base64` goes on the wire as given.
nlohmann::ordered_json boot_write_file_message(const std::string& operation_id,
                                               const std::string& name,
                                               const std::string& data_base64);
nlohmann::ordered_json recover_message(const std::string& operation_id,
                                       const std::string& volume_label);
nlohmann::ordered_json cancel_message(const std::optional<std::string>& operation_id);

}  // namespace ravik::job

#endif  // RAVIK_JOB_MESSAGES_H_
