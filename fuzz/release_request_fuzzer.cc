// Maintenance release requests from untrusted bytes: every line of the input
// is decoded the way the hold mode decodes a request line. A decoded request
// must come from a line without a NUL byte, and must decode again, to the
// same members, from the library's own encoding of them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string_view>

#include "fuzz_target.h"
#include "maintenance/hold_mode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  while (!input.empty()) {
    const std::size_t end = input.find('\n');
    const std::string_view line = input.substr(0, end);
    input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);
    const auto request = ravik::decode_release_request(line);
    if (!request) continue;
    if (line.find('\0') != std::string_view::npos) std::abort();
    const nlohmann::json again = {{"protocol", request->protocol},
                                  {"command", request->command},
                                  {"leaseId", request->lease_id},
                                  {"requestId", request->request_id}};
    const auto redecoded = ravik::decode_release_request(again.dump());
    if (!redecoded || redecoded->protocol != request->protocol ||
        redecoded->command != request->command ||
        redecoded->lease_id != request->lease_id ||
        redecoded->request_id != request->request_id) {
      std::abort();
    }
  }
  return 0;
}
