#include "maintenance/maintenance_protocol.h"

#include <cstdint>
#include <type_traits>

#include "io/write_all.h"
#include "json/json_object_reader.h"

namespace ravik {

std::expected<std::string, std::string> encode_compact(
    const nlohmann::ordered_json& object) {
  try {
    return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::strict);
  } catch (const nlohmann::ordered_json::exception& error) {
    return std::unexpected(std::string(error.what()));
  }
}

Result<void> write_line(int fd, std::string_view encoded, std::string_view context) {
  std::string line;
  line.reserve(encoded.size() + 1);
  line.append(encoded);
  line.push_back('\n');
  if (auto written = write_all(fd, line); !written) {
    return fail(written.error().to_helper_error(codes::kMaintenanceUnavailable, context));
  }
  return {};
}

namespace {

constexpr std::size_t kInitialCapacity = 256;

}  // namespace

Result<std::string> read_release_line(ByteSource& source) {
  std::string line;
  line.reserve(kInitialCapacity);
  while (true) {
    std::uint8_t byte = 0;
    const IoResult<std::size_t> count = source.read(std::span(&byte, 1));
    if (!count) {
      return fail(HelperError::io_text(codes::kMaintenanceProtocol,
                                       "Could not read release request",
                                       count.error().describe()));
    }
    if (*count == 0 || byte == '\n') {
      if (line.empty()) {
        return fail(codes::kMaintenanceProtocol,
                    "Maintenance lease input ended before a release request.");
      }
      return line;
    }
    if (byte == '\r') {
      return fail(codes::kMaintenanceProtocol,
                  "Maintenance release request contains an invalid line break.");
    }
    if (line.size() == kMaxReleaseLineBytes) {
      return fail(codes::kMaintenanceProtocol,
                  "Maintenance release request exceeds 16 KiB.");
    }
    line.push_back(static_cast<char>(byte));
  }
}

DecodeResult<void> decode_record(std::string_view text,
                                 std::initializer_list<RecordMember> members) {
  auto value = parse_strict_json(text);
  if (!value) return std::unexpected(std::move(value).error());
  auto reader = JsonObjectReader::open(*value, "");
  if (!reader) return std::unexpected(std::move(reader).error());
  for (const RecordMember& member : members) {
    auto taken = std::visit(
        [&](auto* field) -> DecodeResult<void> {
          using Field = std::remove_pointer_t<decltype(field)>;
          auto read = [&] {
            if constexpr (std::is_same_v<Field, std::string>) {
              return reader->required_string(member.key);
            } else if constexpr (std::is_same_v<Field, bool>) {
              return reader->required_bool(member.key);
            } else if constexpr (std::is_unsigned_v<Field>) {
              return reader->required_unsigned<Field>(member.key);
            } else {
              return reader->required_signed<Field>(member.key);
            }
          }();
          if (!read) return std::unexpected(std::move(read).error());
          *field = std::move(read).value();
          return {};
        },
        member.field);
    if (!taken) return taken;
  }
  return reader->finish();
}

bool is_valid_request_id(std::string_view request_id) {
  return !request_id.empty() && request_id.size() <= kMaxRequestIdBytes &&
         request_id.find('\0') == std::string_view::npos;
}

}  // namespace ravik
