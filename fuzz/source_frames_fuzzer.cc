// Source frames from untrusted bytes: a SourceFrameReader consumes the input
// with a consumer buffer size and bytes_total taken from the first bytes,
// then, unless the stream completed or was aborted, drains it as the session
// does after a failed write. Checks the reader's promises: never more than
// bytes_total handed out, the count it reports matches what it handed out, a
// finished stream is complete, and a successful drain leaves it finished and
// canceled.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_target.h"
#include "protocol/source_frame_reader.h"
#include "support/scripted_streams.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ravik;
  if (size < 4) return 0;
  const std::size_t buffer_size = 1 + (data[0] | (data[1] << 8)) % 9000;
  const std::size_t chunk = 1 + data[2] % 32 * 131;
  // Small totals make the byte-count rules reachable; 0xFF asks for the
  // largest total to reach the overflow checks.
  const std::uint64_t bytes_total =
      data[3] == 0xFF ? UINT64_MAX : static_cast<std::uint64_t>(data[3]) * 37;
  const std::string bytes(reinterpret_cast<const char*>(data + 4), size - 4);
  testing::ScriptedBufferedInput input(bytes, chunk);
  SourceFrameReader reader(input.input, bytes_total);

  std::vector<std::uint8_t> buffer(buffer_size);
  std::uint64_t handed_out = 0;
  bool failed = false;
  for (int calls = 0; calls < 100000; ++calls) {
    auto count = reader.read(buffer);
    if (!count) {
      failed = true;
      // A failed reader stays failed without consuming more input.
      const std::size_t consumed = input.consumed();
      auto again = reader.read(buffer);
      if (again || again.error().kind != count.error().kind) std::abort();
      if (input.consumed() != consumed) std::abort();
      break;
    }
    if (*count > buffer.size()) std::abort();
    if (*count == 0) break;
    handed_out += *count;
  }
  if (handed_out != reader.delivered() || handed_out > bytes_total) std::abort();
  if (reader.finished() && (failed || handed_out != bytes_total)) std::abort();
  if (reader.finished() || reader.canceled()) return 0;

  const std::uint64_t before = reader.delivered();
  auto drained = reader.drain_until_abort();
  if (drained) {
    if (!reader.finished() || !reader.canceled()) std::abort();
    if (reader.delivered() < before || reader.delivered() > bytes_total) std::abort();
    std::uint8_t one[1];
    auto after = reader.read(one);
    if (!after || *after != 0) std::abort();
  }
  return 0;
}
