#include "protocol/event_writer.h"

#include <string>

#include "protocol/event_encoding.h"

namespace ravik {
namespace {

HelperError write_failure(const IoError& error) {
  constexpr std::string_view kContext = "Could not write helper event";
  if (error.os_error != 0)
    return HelperError::io(codes::kUnknown, kContext, error.os_error);
  return HelperError::io_text(codes::kUnknown, kContext, error.text);
}

}  // namespace

Result<void> write_event(BufferedOutput& writer, const ServerEvent& event) {
  const std::string object = encode_event(event);
  if (auto written = writer.write(object); !written) {
    return fail(codes::kProtocolError,
                "Could not encode helper event: " + written.error().describe());
  }
  if (auto written = writer.write(std::string_view("\n")); !written) {
    return fail(write_failure(written.error()));
  }
  if (auto flushed = writer.flush(); !flushed)
    return fail(write_failure(flushed.error()));
  return {};
}

}  // namespace ravik
