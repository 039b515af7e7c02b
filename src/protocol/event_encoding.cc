#include "protocol/event_encoding.h"

#include <charconv>
#include <optional>
#include <string_view>

#include "json/json_string.h"

namespace ravik {
namespace {

// Appends members as `,"key":value`; the caller opens the object with its
// first member so that every later member starts with a comma.
class ObjectWriter {
 public:
  explicit ObjectWriter(std::string& out) : out_(out) {}

  void string(std::string_view key, std::string_view value) {
    this->key(key);
    append_json_string(out_, value);
  }
  void optional_string(std::string_view key, const std::optional<std::string>& value) {
    if (value) string(key, *value);
  }
  void unsigned_integer(std::string_view key, std::uint64_t value) {
    this->key(key);
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof(digits), value).ptr;
    out_.append(digits, end);
  }
  void boolean(std::string_view key, bool value) {
    this->key(key);
    out_ += value ? "true" : "false";
  }
  // Opens a nested object; its first member is written by `first_string`.
  void begin_object(std::string_view key) {
    this->key(key);
    out_ += '{';
    first_in_object_ = true;
  }
  void end_object() { out_ += '}'; }

 private:
  void key(std::string_view key) {
    if (!first_in_object_) out_ += ',';
    first_in_object_ = false;
    append_json_string(out_, key);
    out_ += ':';
  }

  std::string& out_;
  bool first_in_object_ = true;
};

void write_identity(ObjectWriter& w, const HeldTargetIdentity& target) {
  w.begin_object("target");
  w.string("platform", wire_name(target.platform));
  w.string("deviceId", target.device_id);
  w.string("devicePath", target.device_path);
  w.unsigned_integer("sizeBytes", target.size_bytes);
  w.optional_string("serial", target.serial);
  w.optional_string("topologyPath", target.topology_path);
  w.optional_string("model", target.model);
  w.boolean("removable", target.removable);
  w.boolean("writable", target.writable);
  w.boolean("mounted", target.mounted);
  w.boolean("wholeDevice", target.whole_device);
  w.end_object();
}

void write_body(ObjectWriter& w, const ReadyEvent& e) {
  write_identity(w, e.target);
  w.unsigned_integer("logicalBlockSize", e.logical_block_size);
  w.begin_object("maintenanceLease");
  w.string("mode", wire_name(e.maintenance_lease.mode));
  w.string("leaseId", e.maintenance_lease.lease_id);
  w.end_object();
}

void write_body(ObjectWriter& w, const ProgressEvent& e) {
  w.optional_string("operationId", e.operation_id);
  w.string("stage", wire_name(e.stage));
  w.unsigned_integer("bytesProcessed", e.bytes_processed);
  w.unsigned_integer("bytesTotal", e.bytes_total);
  w.unsigned_integer("speedBps", e.speed_bps);
  w.string("message", e.message);
}

void write_body(ObjectWriter& w, const WrittenEvent& e) {
  w.unsigned_integer("bytesWritten", e.bytes_written);
  w.unsigned_integer("targetBytesWritten", e.target_bytes_written);
  w.string("sourceSha256", e.source_sha256);
  w.unsigned_integer("writeDurationMs", e.write_duration_ms);
  w.unsigned_integer("writeSpeedBps", e.write_speed_bps);
  w.boolean("flushCompleted", e.flush_completed);
  w.unsigned_integer("protectedPrefixBytes", e.protected_prefix_bytes);
  w.boolean("protectedBodyVerified", e.protected_body_verified);
  w.boolean("protectedPrefixVerified", e.protected_prefix_verified);
}

void write_body(ObjectWriter& w, const SourceAbortedEvent& e) {
  w.string("errorCode", e.error_code);
  w.string("errorMessage", e.error_message);
  w.unsigned_integer("bytesWritten", e.bytes_written);
  w.boolean("sessionRetained", e.session_retained);
}

void write_body(ObjectWriter& w, const VerifyResultEvent& e) {
  w.string("operationId", e.operation_id);
  w.string("mode", wire_name(e.mode));
  w.unsigned_integer("bytesVerified", e.bytes_verified);
  w.string("sourceSha256", e.source_sha256);
  w.string("targetSha256", e.target_sha256);
  w.boolean("matches", e.matches);
}

void write_body(ObjectWriter& w, const ReadResultEvent& e) {
  w.string("operationId", e.operation_id);
  w.unsigned_integer("offsetBytes", e.offset_bytes);
  w.unsigned_integer("lengthBytes", e.length_bytes);
  w.string("dataBase64", e.data_base64);
}

void write_body(ObjectWriter& w, const BootOpenedEvent& e) {
  w.string("operationId", e.operation_id);
  w.unsigned_integer("partitionNumber", e.partition_number);
}

void write_body(ObjectWriter& w, const BootFileEvent& e) {
  w.string("operationId", e.operation_id);
  w.string("relativePath", e.relative_path);
  w.boolean("exists", e.exists);
  w.optional_string("dataBase64", e.data_base64);
}

void write_body(ObjectWriter& w, const BootFileWrittenEvent& e) {
  w.string("operationId", e.operation_id);
  w.string("relativePath", e.relative_path);
  w.unsigned_integer("bytesWritten", e.bytes_written);
  w.boolean("flushCompleted", e.flush_completed);
}

void write_body(ObjectWriter& w, const BootClosedEvent& e) {
  w.string("operationId", e.operation_id);
  w.boolean("flushCompleted", e.flush_completed);
  w.boolean("unmounted", e.unmounted);
}

void write_body(ObjectWriter& w, const RecoveryResultEvent& e) {
  w.string("operationId", e.operation_id);
  w.boolean("recovered", e.recovered);
  w.string("filesystem", wire_name(e.filesystem));
  w.string("volumeLabel", e.volume_label);
  w.boolean("flushCompleted", e.flush_completed);
}

void write_body(ObjectWriter& w, const ClosedEvent& e) {
  w.string("operationId", e.operation_id);
  w.boolean("flushCompleted", e.flush_completed);
  w.boolean("bootUnmounted", e.boot_unmounted);
  w.boolean("safeToRemove", e.safe_to_remove);
}

void write_body(ObjectWriter& w, const ResultEvent& e) {
  w.string("operationId", e.operation_id);
  w.boolean("ok", e.ok);
  w.boolean("flushCompleted", e.flush_completed);
  w.boolean("safeToRemove", e.safe_to_remove);
  w.boolean("improperRemovalClueExpected", e.improper_removal_clue_expected);
}

void write_body(ObjectWriter& w, const ReleasedEvent& e) {
  w.string("operationId", e.operation_id);
  w.boolean("flushCompleted", e.flush_completed);
  w.boolean("safeToRemove", e.safe_to_remove);
  w.boolean("improperRemovalClueExpected", e.improper_removal_clue_expected);
}

void write_body(ObjectWriter& w, const CapacityProbedEvent& e) {
  w.string("operationId", e.operation_id);
  w.unsigned_integer("reportedBytes", e.reported_bytes);
  w.unsigned_integer("verifiedBytes", e.verified_bytes);
  w.string("finding", wire_name(e.finding));
  w.unsigned_integer("blocksProbed", e.blocks_probed);
  if (e.first_bad_offset_bytes) {
    w.unsigned_integer("firstBadOffsetBytes", *e.first_bad_offset_bytes);
  }
  if (e.wraps_to_offset_bytes) {
    w.unsigned_integer("wrapsToOffsetBytes", *e.wraps_to_offset_bytes);
  }
}

void write_body(ObjectWriter& w, const ErrorEvent& e) {
  w.optional_string("operationId", e.operation_id);
  w.boolean("ok", false);
  w.string("errorCode", e.error_code);
  w.string("errorMessage", e.error_message);
  if (e.bytes_written) w.unsigned_integer("bytesWritten", *e.bytes_written);
  w.boolean("sessionRetained", e.session_retained);
}

}  // namespace

std::string encode_event(const ServerEvent& event) {
  std::string out;
  out.reserve(256);
  out += '{';
  ObjectWriter w(out);
  w.string("event", event.kind_name());
  w.unsigned_integer("protocolVersion", event.header.protocol_version);
  w.string("requestId", event.header.request_id);
  w.string("sessionId", event.header.session_id);
  w.string("taskId", event.header.task_id);
  std::visit([&](const auto& body) { write_body(w, body); }, event.body);
  out += '}';
  return out;
}

}  // namespace ravik
