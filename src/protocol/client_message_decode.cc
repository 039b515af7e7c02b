#include "protocol/client_message_decode.h"

#include <span>
#include <utility>

#include "json/json_object_reader.h"
#include "protocol/wire_names.h"

// Each decoder takes the members of its record in the order of the record and
// stops at the first fault; JsonObjectReader::finish() then refuses anything
// the record does not name.
#define RAVIK_DECODE(lhs, expr) \
  RAVIK_DECODE_IMPL_(RAVIK_CONCAT_(decoded_, __LINE__), lhs, expr)
#define RAVIK_DECODE_IMPL_(tmp, lhs, expr)                  \
  auto tmp = (expr);                                        \
  if (!tmp) return std::unexpected(std::move(tmp).error()); \
  lhs = std::move(tmp).value()

namespace ravik {
namespace {

using nlohmann::json;

template <class E, std::size_t N>
std::span<const WireName<E>> names(const std::array<WireName<E>, N>& table) {
  return std::span<const WireName<E>>(table);
}

DecodeResult<TargetExpectation> decode_target(JsonObjectReader& parent) {
  RAVIK_DECODE(auto reader, parent.required_object("target"));
  TargetExpectation target;
  RAVIK_DECODE(target.platform, reader.required_enum("platform", names(kPlatformNames)));
  RAVIK_DECODE(target.device_id, reader.required_string("deviceId"));
  RAVIK_DECODE(target.device_path, reader.required_string("devicePath"));
  RAVIK_DECODE(target.size_bytes, reader.required_unsigned<std::uint64_t>("sizeBytes"));
  RAVIK_DECODE(target.serial, reader.optional_string("serial"));
  RAVIK_DECODE(target.topology_path, reader.optional_string("topologyPath"));
  RAVIK_DECODE(target.model, reader.optional_string("model"));
  if (auto done = reader.finish(); !done) return std::unexpected(std::move(done).error());
  return target;
}

DecodeResult<SourceExpectation> decode_source(JsonObjectReader& parent) {
  RAVIK_DECODE(auto reader, parent.required_object("source"));
  SourceExpectation source;
  RAVIK_DECODE(source.bytes_total, reader.required_unsigned<std::uint64_t>("bytesTotal"));
  RAVIK_DECODE(source.sha256, reader.required_string("sha256"));
  if (auto done = reader.finish(); !done) return std::unexpected(std::move(done).error());
  return source;
}

// The members both open requests start with.
template <class Request>
DecodeResult<Request> decode_open_head(JsonObjectReader& reader) {
  Request request;
  RAVIK_DECODE(request.protocol_version,
               reader.required_unsigned<std::uint16_t>("protocolVersion"));
  RAVIK_DECODE(request.request_id, reader.required_string("requestId"));
  RAVIK_DECODE(request.session_id, reader.required_string("sessionId"));
  RAVIK_DECODE(request.task_id, reader.required_string("taskId"));
  RAVIK_DECODE(request.target, decode_target(reader));
  return request;
}

DecodeResult<ClientPayload> decode_open_write(JsonObjectReader& reader) {
  RAVIK_DECODE(auto request, decode_open_head<OpenWriteRequest>(reader));
  RAVIK_DECODE(request.source, decode_source(reader));
  RAVIK_DECODE(request.tail_policy,
               reader.required_enum("tailPolicy", names(kTailPolicyNames)));
  RAVIK_DECODE(request.protected_prefix_bytes,
               reader.unsigned_or<std::uint64_t>("protectedPrefixBytes", 0));
  RAVIK_DECODE(request.test_only_allow_regular_file,
               reader.bool_or("testOnlyAllowRegularFile", false));
  return request;
}

// open_format and open_read: the head and the test-only switch, no source.
template <class Request>
DecodeResult<ClientPayload> decode_open_without_source(JsonObjectReader& reader) {
  RAVIK_DECODE(auto request, decode_open_head<Request>(reader));
  RAVIK_DECODE(request.test_only_allow_regular_file,
               reader.bool_or("testOnlyAllowRegularFile", false));
  return request;
}

// The two members every record variant starts with.
template <class Command>
DecodeResult<Command> decode_record_head(JsonObjectReader& reader) {
  Command command;
  RAVIK_DECODE(command.protocol_version,
               reader.required_unsigned<std::uint16_t>("protocolVersion"));
  RAVIK_DECODE(command.operation_id, reader.required_string("operationId"));
  return command;
}

template <class Command>
DecodeResult<ClientPayload> decode_plain_record(JsonObjectReader& reader) {
  RAVIK_DECODE(Command command, decode_record_head<Command>(reader));
  return command;
}

DecodeResult<ClientPayload> decode_verify(JsonObjectReader& reader) {
  RAVIK_DECODE(auto command, decode_record_head<VerifyCommand>(reader));
  RAVIK_DECODE(command.mode, reader.required_enum("mode", names(kVerifyModeNames)));
  return command;
}

DecodeResult<ClientPayload> decode_read(JsonObjectReader& reader) {
  RAVIK_DECODE(auto command, decode_record_head<ReadCommand>(reader));
  RAVIK_DECODE(command.offset_bytes,
               reader.required_unsigned<std::uint64_t>("offsetBytes"));
  RAVIK_DECODE(command.length_bytes,
               reader.required_unsigned<std::uint64_t>("lengthBytes"));
  return command;
}

DecodeResult<ClientPayload> decode_open_boot(JsonObjectReader& reader) {
  RAVIK_DECODE(auto command, decode_record_head<OpenBootCommand>(reader));
  RAVIK_DECODE(command.partition_number,
               reader.required_unsigned<std::uint32_t>("partitionNumber"));
  return command;
}

DecodeResult<ClientPayload> decode_boot_read_file(JsonObjectReader& reader) {
  RAVIK_DECODE(auto command, decode_record_head<BootReadFileCommand>(reader));
  RAVIK_DECODE(command.relative_path, reader.required_string("relativePath"));
  return command;
}

DecodeResult<ClientPayload> decode_boot_write_file(JsonObjectReader& reader) {
  RAVIK_DECODE(auto command, decode_record_head<BootWriteFileCommand>(reader));
  RAVIK_DECODE(command.relative_path, reader.required_string("relativePath"));
  RAVIK_DECODE(command.data_base64, reader.required_string("dataBase64"));
  RAVIK_DECODE(command.executable, reader.required_bool("executable"));
  return command;
}

DecodeResult<ClientPayload> decode_recover(JsonObjectReader& reader) {
  RAVIK_DECODE(auto command, decode_record_head<RecoverCommand>(reader));
  RAVIK_DECODE(command.filesystem,
               reader.required_enum("filesystem", names(kRecoveryFilesystemNames)));
  RAVIK_DECODE(command.volume_label, reader.required_string("volumeLabel"));
  return command;
}

DecodeResult<ClientPayload> decode_cancel(JsonObjectReader& reader) {
  CancelCommand command;
  RAVIK_DECODE(command.protocol_version,
               reader.required_unsigned<std::uint16_t>("protocolVersion"));
  RAVIK_DECODE(command.operation_id, reader.optional_string("operationId"));
  return command;
}

using PayloadDecoder = DecodeResult<ClientPayload> (*)(JsonObjectReader&);

struct Variant {
  std::string_view type;
  PayloadDecoder decode;
};

constexpr std::array<Variant, 15> kVariants{{
    {"open_write", decode_open_write},
    {"open_format", decode_open_without_source<OpenFormatRequest>},
    {"open_read", decode_open_without_source<OpenReadRequest>},
    {"verify", decode_verify},
    {"read", decode_read},
    {"openBoot", decode_open_boot},
    {"bootReadFile", decode_boot_read_file},
    {"bootWriteFile", decode_boot_write_file},
    {"closeBoot", decode_plain_record<CloseBootCommand>},
    {"recover", decode_recover},
    {"probeCapacity", decode_plain_record<ProbeCapacityCommand>},
    {"eject", decode_plain_record<EjectCommand>},
    {"release", decode_plain_record<ReleaseCommand>},
    {"close", decode_plain_record<CloseCommand>},
    {"cancel", decode_cancel},
}};

}  // namespace

DecodeResult<ClientMessage> decode_client_message(std::string_view json_text) {
  RAVIK_DECODE(const json document, parse_strict_json(json_text));
  RAVIK_DECODE(auto reader, JsonObjectReader::open(document, ""));
  RAVIK_DECODE(const std::string type, reader.required_string("type"));
  for (const auto& variant : kVariants) {
    if (variant.type != type) continue;
    RAVIK_DECODE(ClientPayload payload, variant.decode(reader));
    if (auto done = reader.finish(); !done)
      return std::unexpected(std::move(done).error());
    return ClientMessage{std::move(payload)};
  }
  return decode_failure("member \"type\" has an unknown value " +
                        quote_for_description(type));
}

}  // namespace ravik
