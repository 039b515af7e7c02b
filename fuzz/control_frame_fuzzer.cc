// Control frames from untrusted bytes: every frame of the input goes through
// read_frame (length prefix, strict JSON decoding, version check) and every
// decoded command through the validators; each error message is written back
// as an event line, which must stay one line of valid UTF-8 JSON. The input is
// read in pieces whose size the first byte chooses, so that frame boundaries
// fall anywhere relative to the reads.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <variant>

#include "error/utf8.h"
#include "fuzz_target.h"
#include "protocol/client_message_decode.h"
#include "protocol/control_frame.h"
#include "protocol/event_encoding.h"
#include "protocol/request_validation.h"
#include "support/scripted_streams.h"

namespace {

using namespace ravik;

void check_event_line(const HelperError& error, std::string_view raw_text) {
  ServerEvent event{
      EventHeader{1, std::string(raw_text), "s", "t"},
      ErrorEvent::from_error(error, std::string(raw_text), std::nullopt, false)};
  const std::string line = encode_event(event);
  if (!is_valid_utf8(line) || line.find('\n') != std::string::npos) std::abort();
  auto parsed = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded() || parsed["event"] != "error") std::abort();
  if (is_valid_utf8(raw_text) && parsed["requestId"] != raw_text) std::abort();
}

void validate(const ClientMessage& message) {
  if (message.protocol_version() != kProtocolVersion) std::abort();
  std::visit(
      [](const auto& command) {
        using T = std::decay_t<decltype(command)>;
        if constexpr (kIsOpenRequest<T>) {
          if (auto valid = command.validate(); !valid) {
            check_event_line(valid.error(), command.request_id);
          }
        } else if constexpr (std::is_same_v<T, BootReadFileCommand> ||
                             std::is_same_v<T, BootWriteFileCommand>) {
          (void)validate_boot_file_name(command.relative_path);
          (void)validate_operation_id(command.operation_id);
        } else if constexpr (std::is_same_v<T, RecoverCommand>) {
          (void)validate_volume_label(command.volume_label);
        } else if constexpr (std::is_same_v<T, CancelCommand>) {
          if (command.operation_id) (void)validate_operation_id(*command.operation_id);
        } else {
          (void)validate_operation_id(command.operation_id);
        }
      },
      message.payload);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t chunk = 1 + data[0] % 64 * 97;
  const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  testing::ScriptedBufferedInput input(bytes, chunk);
  // Also decode the whole input as one body, the way a frame would carry it.
  if (auto whole = decode_client_message(bytes); !whole) {
    check_event_line(HelperError(codes::kProtocolError, whole.error().description),
                     bytes);
  }
  for (int frames = 0; frames < 64; ++frames) {
    auto message = read_frame(input.input);
    if (message) {
      validate(*message);
      continue;
    }
    check_event_line(message.error(), message.error().message());
    // Past a length refusal or an I/O failure the input is not aligned.
    const std::string& text = message.error().message();
    if (text.starts_with("Could not read") || text.starts_with("Control frame length"))
      break;
  }
  return 0;
}
