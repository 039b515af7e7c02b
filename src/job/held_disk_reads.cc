#include "job/held_disk_reads.h"

#include <algorithm>
#include <deque>

#include "job/messages.h"
#include "protocol/base64.h"

namespace ravik::job {
namespace {

// Reads asked at once. The session refuses every command but a cancel while
// an operation runs (and ends the session), so each read is asked once the
// answer to the one before has arrived, before that answer is used.
constexpr std::size_t kReadsAhead = 1;

struct AskedRead {
  std::string operation_id;
  std::uint64_t offset;
  std::uint64_t length;
};

// The bytes of `event`, the answer to `asked`; or why it is not that.
std::optional<std::vector<std::uint8_t>> answer_bytes(const HelperEvent& event,
                                                      const AskedRead& asked,
                                                      std::string& why) {
  if (event.kind() != "readResult") {
    why = "Reading the disk at " + std::to_string(asked.offset) +
          " failed: " + helper_failure_text(event);
    return std::nullopt;
  }
  if (event.text("operationId") != asked.operation_id ||
      event.number("offsetBytes") != asked.offset ||
      event.number("lengthBytes") != asked.length) {
    why = "The helper answered another read than the one asked for: " + event.line;
    return std::nullopt;
  }
  auto bytes = base64_decode_canonical(event.text("dataBase64").value_or(""));
  if (!bytes || bytes->size() != asked.length) {
    why = "The helper's answer to the read at " + std::to_string(asked.offset) +
          " does not hold the bytes asked for.";
    return std::nullopt;
  }
  return bytes;
}

}  // namespace

bool read_held_disk(HeldSession& session, std::uint64_t size, const HeldBytesSink& take,
                    std::string_view pass) {
  std::deque<AskedRead> asked;
  std::uint64_t next_offset = 0;
  std::uint64_t count = 0;
  bool failed = false;
  auto ask_more = [&] {
    while (!failed && asked.size() < kReadsAhead && next_offset < size) {
      AskedRead read{.operation_id = std::string(pass) + "-" + std::to_string(++count),
                     .offset = next_offset,
                     .length = std::min(kMaxReadBytes, size - next_offset)};
      if (!session.send(read_message(read.operation_id, read.offset, read.length))) {
        session.fail("The helper ended while the disk was being read.");
        return false;
      }
      next_offset += read.length;
      asked.push_back(std::move(read));
    }
    return true;
  };
  if (!ask_more()) return false;
  for (;;) {
    if (asked.empty()) return !failed;
    auto event = session.next();
    if (!event) {
      session.fail("The helper ended while the disk was being read.");
      return false;
    }
    const AskedRead read = std::move(asked.front());
    asked.pop_front();
    if (failed) continue;  // only the answers to reads already asked for
    // The helper reads the next range while this one is decoded and taken.
    if (event->kind() == "readResult" && !ask_more()) return false;
    std::string why;
    auto bytes = answer_bytes(*event, read, why);
    if (!bytes) {
      session.fail(std::move(why));
      failed = true;
      if (event->flag("sessionRetained") == false) {
        session.mark_over();
        return false;
      }
      continue;
    }
    if (auto taken = take(*bytes); !taken) {
      session.fail(taken.error().message());
      failed = true;
    }
  }
}

}  // namespace ravik::job
