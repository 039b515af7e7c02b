#include "job/wire.h"

namespace ravik::job {
namespace {

void append_be32(std::string& out, std::uint32_t value) {
  out.push_back(static_cast<char>(value >> 24));
  out.push_back(static_cast<char>(value >> 16));
  out.push_back(static_cast<char>(value >> 8));
  out.push_back(static_cast<char>(value));
}

std::string tag_only_frame(SourceTag tag) {
  std::string frame;
  append_be32(frame, 1);
  frame.push_back(static_cast<char>(tag));
  return frame;
}

}  // namespace

std::string raw_control_frame(std::string_view body) {
  std::string frame;
  frame.reserve(4 + body.size());
  append_be32(frame, static_cast<std::uint32_t>(body.size()));
  frame.append(body);
  return frame;
}

std::string control_frame(const nlohmann::ordered_json& message) {
  return raw_control_frame(message.dump());
}

std::string data_frame_head(std::size_t payload_size) {
  std::string head;
  append_be32(head, static_cast<std::uint32_t>(payload_size + 1));
  head.push_back(static_cast<char>(SourceTag::kData));
  return head;
}

std::string data_frame(std::span<const std::uint8_t> payload) {
  std::string frame = data_frame_head(payload.size());
  frame.append(reinterpret_cast<const char*>(payload.data()), payload.size());
  return frame;
}

std::string data_frame(std::string_view payload) {
  return data_frame_head(payload.size()) + std::string(payload);
}

std::string end_frame() { return tag_only_frame(SourceTag::kEnd); }
std::string abort_frame() { return tag_only_frame(SourceTag::kAbort); }

std::string HelperEvent::kind() const { return text("event").value_or(""); }

std::optional<std::string> HelperEvent::text(std::string_view key) const {
  auto found = json.find(key);
  if (found == json.end() || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

std::optional<std::uint64_t> HelperEvent::number(std::string_view key) const {
  auto found = json.find(key);
  if (found == json.end() || !found->is_number_unsigned()) return std::nullopt;
  return found->get<std::uint64_t>();
}

std::optional<bool> HelperEvent::flag(std::string_view key) const {
  auto found = json.find(key);
  if (found == json.end() || !found->is_boolean()) return std::nullopt;
  return found->get<bool>();
}

std::optional<HelperEvent> parse_event_line(std::string_view line) {
  auto json = nlohmann::ordered_json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (json.is_discarded() || !json.is_object()) return std::nullopt;
  return HelperEvent{std::string(line), std::move(json)};
}

}  // namespace ravik::job
