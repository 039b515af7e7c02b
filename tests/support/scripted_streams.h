// Test doubles for the raw streams under the buffered reader and writer:
// ScriptedInput hands out a fixed byte string in pieces of at most a chosen
// size, can fail once a given number of bytes has been delivered, and records
// every request; RecordingOutput keeps what was written and fails on demand.
#ifndef RAVIK_TESTS_SUPPORT_SCRIPTED_STREAMS_H_
#define RAVIK_TESTS_SUPPORT_SCRIPTED_STREAMS_H_

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "io/raw_output.h"
#include "protocol/buffered_input.h"

namespace ravik::testing {

struct InputLog {
  std::vector<std::size_t> requested;  // buffer size of every read call
  std::size_t delivered = 0;
};

class ScriptedInput final : public ByteSource {
 public:
  ScriptedInput(std::string bytes, std::shared_ptr<InputLog> log,
                std::size_t max_chunk = std::numeric_limits<std::size_t>::max())
      : bytes_(std::move(bytes)), log_(std::move(log)), max_chunk_(max_chunk) {}

  // After `offset` bytes, the next read fails once with `error`.
  void fail_at(std::size_t offset, IoError error) {
    fail_offset_ = offset;
    error_ = std::move(error);
  }

  IoResult<std::size_t> read(std::span<std::uint8_t> buffer) override {
    log_->requested.push_back(buffer.size());
    if (error_ && log_->delivered >= fail_offset_) {
      auto error = std::move(*error_);
      error_.reset();
      return std::unexpected(std::move(error));
    }
    std::size_t count =
        std::min({buffer.size(), max_chunk_, bytes_.size() - log_->delivered});
    if (error_) count = std::min(count, fail_offset_ - log_->delivered);
    std::memcpy(buffer.data(), bytes_.data() + log_->delivered, count);
    log_->delivered += count;
    return count;
  }

 private:
  std::string bytes_;
  std::shared_ptr<InputLog> log_;
  std::size_t max_chunk_;
  std::size_t fail_offset_ = 0;
  std::optional<IoError> error_;
};

// A BufferedInput over `bytes` together with the log of its raw reads.
struct ScriptedBufferedInput {
  explicit ScriptedBufferedInput(
      std::string bytes, std::size_t max_chunk = std::numeric_limits<std::size_t>::max())
      : log(std::make_shared<InputLog>()),
        input(std::make_unique<ScriptedInput>(std::move(bytes), log, max_chunk)) {}

  // Bytes consumed by the reader: delivered by the raw input, not buffered.
  std::size_t consumed() const { return log->delivered - input.buffered(); }

  std::shared_ptr<InputLog> log;
  BufferedInput input;
};

struct OutputLog {
  std::string written;
  std::size_t write_calls = 0;
  std::optional<IoError> fail_next;  // fails the next write_some once
  std::size_t max_chunk = std::numeric_limits<std::size_t>::max();
};

class RecordingOutput final : public RawOutput {
 public:
  explicit RecordingOutput(std::shared_ptr<OutputLog> log) : log_(std::move(log)) {}

  IoResult<std::size_t> write_some(std::span<const std::uint8_t> data) override {
    ++log_->write_calls;
    if (log_->fail_next) {
      auto error = std::move(*log_->fail_next);
      log_->fail_next.reset();
      return std::unexpected(std::move(error));
    }
    const std::size_t count = std::min(data.size(), log_->max_chunk);
    log_->written.append(reinterpret_cast<const char*>(data.data()), count);
    return count;
  }

 private:
  std::shared_ptr<OutputLog> log_;
};

// Big-endian 32-bit length prefix followed by `body`.
inline std::string frame(std::string_view body) {
  const auto n = static_cast<std::uint32_t>(body.size());
  std::string out{static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                  static_cast<char>(n >> 8), static_cast<char>(n)};
  out.append(body);
  return out;
}

inline std::string length_prefix(std::uint32_t n) {
  return std::string{static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                     static_cast<char>(n >> 8), static_cast<char>(n)};
}

}  // namespace ravik::testing

#endif  // RAVIK_TESTS_SUPPORT_SCRIPTED_STREAMS_H_
