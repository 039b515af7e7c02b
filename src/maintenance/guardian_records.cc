#include "maintenance/guardian_records.h"

#include <nlohmann/json.hpp>
#include <utility>

#include "json/json_object_reader.h"
#include "maintenance/json_line.h"

namespace ravik {
namespace {

using StringField = std::pair<const char*, std::string*>;
using PidField = std::pair<const char*, std::int32_t*>;

// Decodes one object whose members are exactly `strings` and `pids` (and,
// when `ok` is given, the boolean "ok").
DecodeResult<void> decode_members(std::string_view line,
                                  std::initializer_list<StringField> strings,
                                  std::initializer_list<PidField> pids,
                                  bool* ok = nullptr) {
  auto value = parse_strict_json(line);
  if (!value) return std::unexpected(std::move(value).error());
  auto reader = JsonObjectReader::open(*value, "");
  if (!reader) return std::unexpected(std::move(reader).error());
  if (ok != nullptr) {
    auto flag = reader->required_bool("ok");
    if (!flag) return std::unexpected(std::move(flag).error());
    *ok = *flag;
  }
  for (const auto& [key, field] : strings) {
    auto text = reader->required_string(key);
    if (!text) return std::unexpected(std::move(text).error());
    *field = std::move(text).value();
  }
  for (const auto& [key, field] : pids) {
    auto pid = reader->required_signed<std::int32_t>(key);
    if (!pid) return std::unexpected(std::move(pid).error());
    *field = *pid;
  }
  return reader->finish();
}

}  // namespace

std::expected<std::string, std::string> encode_guardian_ready(
    const GuardianReady& ready) {
  nlohmann::ordered_json object;
  object["ok"] = ready.ok;
  object["code"] = ready.code;
  object["message"] = ready.message;
  object["leaseId"] = ready.lease_id;
  object["ownerPid"] = ready.owner_pid;
  object["guardianPid"] = ready.guardian_pid;
  return encode_compact(object);
}

std::expected<std::string, std::string> encode_guardian_request(
    const GuardianRequest& request) {
  nlohmann::ordered_json object;
  object["protocol"] = request.protocol;
  object["command"] = request.command;
  object["token"] = request.token;
  object["leaseId"] = request.lease_id;
  object["requestId"] = request.request_id;
  return encode_compact(object);
}

std::expected<std::string, std::string> encode_guardian_response(
    const GuardianResponse& response) {
  nlohmann::ordered_json object;
  object["protocol"] = response.protocol;
  object["status"] = response.status;
  object["requestId"] = response.request_id;
  object["leaseId"] = response.lease_id;
  object["ownerPid"] = response.owner_pid;
  object["guardianPid"] = response.guardian_pid;
  return encode_compact(object);
}

DecodeResult<GuardianReady> decode_guardian_ready(std::string_view line) {
  GuardianReady ready;
  auto decoded = decode_members(
      line,
      {{"code", &ready.code}, {"message", &ready.message}, {"leaseId", &ready.lease_id}},
      {{"ownerPid", &ready.owner_pid}, {"guardianPid", &ready.guardian_pid}}, &ready.ok);
  if (!decoded) return std::unexpected(std::move(decoded).error());
  return ready;
}

DecodeResult<GuardianRequest> decode_guardian_request(std::string_view line) {
  GuardianRequest request;
  auto decoded = decode_members(line,
                                {{"protocol", &request.protocol},
                                 {"command", &request.command},
                                 {"token", &request.token},
                                 {"leaseId", &request.lease_id},
                                 {"requestId", &request.request_id}},
                                {});
  if (!decoded) return std::unexpected(std::move(decoded).error());
  return request;
}

DecodeResult<GuardianResponse> decode_guardian_response(std::string_view line) {
  GuardianResponse response;
  auto decoded = decode_members(
      line,
      {{"protocol", &response.protocol},
       {"status", &response.status},
       {"requestId", &response.request_id},
       {"leaseId", &response.lease_id}},
      {{"ownerPid", &response.owner_pid}, {"guardianPid", &response.guardian_pid}});
  if (!decoded) return std::unexpected(std::move(decoded).error());
  return response;
}

std::string readiness_message(std::string_view message) {
  std::string result;
  result.reserve(std::min(message.size(), kMaxReadinessMessageBytes));
  std::size_t at = 0;
  while (at < message.size()) {
    // One character: a lead byte and its continuation bytes (10xxxxxx).
    std::size_t end = at + 1;
    while (end < message.size() &&
           (static_cast<unsigned char>(message[end]) & 0xC0) == 0x80) {
      ++end;
    }
    if (result.size() + (end - at) > kMaxReadinessMessageBytes) break;
    const char first = message[at];
    if (first == '\0' || first == '\n' || first == '\r') {
      result += ' ';
    } else {
      result.append(message.substr(at, end - at));
    }
    at = end;
  }
  return result;
}

}  // namespace ravik
