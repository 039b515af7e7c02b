#include "job/messages.h"

namespace ravik::job {
namespace {

constexpr int kProtocolVersion = 1;

nlohmann::ordered_json header(const std::string& type) {
  return {{"type", type}, {"protocolVersion", kProtocolVersion}};
}

nlohmann::ordered_json target_json(const TargetFields& target) {
  nlohmann::ordered_json json = {{"platform", target.platform},
                                 {"deviceId", target.device_id},
                                 {"devicePath", target.device_path},
                                 {"sizeBytes", target.size_bytes}};
  if (target.serial) json["serial"] = *target.serial;
  if (target.topology_path) json["topologyPath"] = *target.topology_path;
  if (target.model) json["model"] = *target.model;
  return json;
}

void add_ids(nlohmann::ordered_json& json, const SessionIds& ids) {
  json["requestId"] = ids.request_id;
  json["sessionId"] = ids.session_id;
  json["taskId"] = ids.task_id;
}

nlohmann::ordered_json open_target_message(const std::string& type, const SessionIds& ids,
                                           const TargetFields& target,
                                           bool allow_regular_file) {
  nlohmann::ordered_json json = header(type);
  add_ids(json, ids);
  json["target"] = target_json(target);
  if (allow_regular_file) json["testOnlyAllowRegularFile"] = true;
  return json;
}

}  // namespace

nlohmann::ordered_json open_write_message(const OpenWriteFields& fields) {
  nlohmann::ordered_json json = header("open_write");
  add_ids(json, fields.ids);
  json["target"] = target_json(fields.target);
  json["source"] = {{"bytesTotal", fields.bytes_total}, {"sha256", fields.sha256}};
  json["tailPolicy"] = fields.tail_policy;
  json["protectedPrefixBytes"] = fields.protected_prefix_bytes;
  if (fields.allow_regular_file) json["testOnlyAllowRegularFile"] = true;
  return json;
}

nlohmann::ordered_json open_format_message(const SessionIds& ids,
                                           const TargetFields& target,
                                           bool allow_regular_file) {
  return open_target_message("open_format", ids, target, allow_regular_file);
}

nlohmann::ordered_json open_read_message(const SessionIds& ids,
                                         const TargetFields& target,
                                         bool allow_regular_file) {
  return open_target_message("open_read", ids, target, allow_regular_file);
}

nlohmann::ordered_json probe_capacity_message(const std::string& operation_id) {
  nlohmann::ordered_json json = header("probeCapacity");
  json["operationId"] = operation_id;
  return json;
}

nlohmann::ordered_json verify_message(const std::string& operation_id) {
  nlohmann::ordered_json json = header("verify");
  json["operationId"] = operation_id;
  json["mode"] = "full";
  return json;
}

nlohmann::ordered_json read_message(const std::string& operation_id, std::uint64_t offset,
                                    std::uint64_t length) {
  nlohmann::ordered_json json = header("read");
  json["operationId"] = operation_id;
  json["offsetBytes"] = offset;
  json["lengthBytes"] = length;
  return json;
}

nlohmann::ordered_json simple_message(const std::string& type,
                                      const std::string& operation_id) {
  nlohmann::ordered_json json = header(type);
  json["operationId"] = operation_id;
  return json;
}

nlohmann::ordered_json open_boot_message(const std::string& operation_id,
                                         std::uint32_t partition_number) {
  nlohmann::ordered_json json = simple_message("openBoot", operation_id);
  json["partitionNumber"] = partition_number;
  return json;
}

nlohmann::ordered_json boot_read_file_message(const std::string& operation_id,
                                              const std::string& name) {
  nlohmann::ordered_json json = simple_message("bootReadFile", operation_id);
  json["relativePath"] = name;
  return json;
}

nlohmann::ordered_json boot_write_file_message(const std::string& operation_id,
                                               const std::string& name,
                                               const std::string& data_base64) {
  nlohmann::ordered_json json = simple_message("bootWriteFile", operation_id);
  json["relativePath"] = name;
  json["dataBase64"] = data_base64;
  json["executable"] = false;
  return json;
}

nlohmann::ordered_json recover_message(const std::string& operation_id,
                                       const std::string& volume_label) {
  nlohmann::ordered_json json = simple_message("recover", operation_id);
  json["filesystem"] = "fat32";
  json["volumeLabel"] = volume_label;
  return json;
}

nlohmann::ordered_json cancel_message(const std::optional<std::string>& operation_id) {
  nlohmann::ordered_json json = header("cancel");
  if (operation_id) json["operationId"] = *operation_id;
  return json;
}

}  // namespace ravik::job
