#include "job/clone_job.h"

#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

#include "io/sha256.h"
#include "job/event_pump.h"
#include "job/held_disk_reads.h"
#include "job/helper_session.h"
#include "job/job_preparation.h"
#include "job/multi_write_job.h"
#include "job/protected_prefix.h"

namespace ravik::job {
namespace {

// Read-ahead between the source and the fan-out, in 1 MiB reads.
constexpr std::size_t kPipeChunks = 8;
constexpr std::uint64_t kHeadBytes = 1024 * 1024;

// The source's bytes from its session's thread to the fan-out's reading
// thread. Either side may stop: the source with its failure, the reader by
// going away, which makes the source's next push fail.
class ClonePipe {
 public:
  Result<void> push(std::span<const std::uint8_t> bytes) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return closed_ || chunks_.size() < kPipeChunks; });
    if (closed_) return fail(codes::kCanceled, "Every target stopped taking the source.");
    chunks_.emplace_back(bytes.begin(), bytes.end());
    changed_.notify_all();
    return {};
  }
  // The first end holds: the source's own, else its session's.
  void end(std::optional<std::string> failure) {
    std::lock_guard lock(mutex_);
    if (ended_) return;
    ended_ = true;
    failure_ = std::move(failure);
    changed_.notify_all();
  }
  void close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    changed_.notify_all();
  }
  Result<std::size_t> read(std::span<std::uint8_t> buffer) {
    std::size_t filled = 0;
    std::unique_lock lock(mutex_);
    while (filled < buffer.size()) {
      changed_.wait(lock, [&] { return !chunks_.empty() || ended_; });
      if (chunks_.empty()) {
        if (failure_) {
          return fail(codes::kImageMissing,
                      "Could not read the source disk: " + *failure_);
        }
        break;
      }
      std::vector<std::uint8_t>& front = chunks_.front();
      const std::size_t n = std::min(buffer.size() - filled, front.size() - taken_);
      std::copy_n(front.begin() + static_cast<std::ptrdiff_t>(taken_), n,
                  buffer.begin() + static_cast<std::ptrdiff_t>(filled));
      filled += n;
      taken_ += n;
      if (taken_ == front.size()) {
        chunks_.pop_front();
        taken_ = 0;
        changed_.notify_all();
      }
    }
    return filled;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::vector<std::uint8_t>> chunks_;
  std::size_t taken_ = 0;  // of chunks_.front()
  bool ended_ = false;
  bool closed_ = false;
  std::optional<std::string> failure_;
};

// The fan-out's reader of the pipe; going away closes it.
class PipeReader : public ImageReader {
 public:
  explicit PipeReader(std::shared_ptr<ClonePipe> pipe) : pipe_(std::move(pipe)) {}
  ~PipeReader() override { pipe_->close(); }
  Result<std::size_t> read(std::span<std::uint8_t> buffer) override {
    return pipe_->read(buffer);
  }

 private:
  std::shared_ptr<ClonePipe> pipe_;
};

// What the hashing pass found; `failure` empty when it succeeded.
struct SourceFacts {
  ImageDigest digest;
  std::vector<std::uint8_t> head;
  std::string failure;
};

// The source session's steps: the facts, then, once the targets are ready
// (`go` true), the bytes into the pipe.
void serve_source(HeldSession& session, const JobOptions& options, std::uint64_t size,
                  std::promise<SourceFacts>& facts, std::future<bool>& go,
                  ClonePipe& pipe) {
  SourceFacts found{.digest = {.size_bytes = size, .sha256 = options.sha256.value_or("")},
                    .head = {},
                    .failure = {}};
  const bool hashing = !options.sha256;
  Sha256 hasher;
  std::uint64_t done = 0;
  const auto began = std::chrono::steady_clock::now();
  auto keep = [&](std::span<const std::uint8_t> bytes) -> Result<void> {
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(kHeadBytes, size)) -
        found.head.size();
    found.head.insert(
        found.head.end(), bytes.begin(),
        bytes.begin() + static_cast<std::ptrdiff_t>(std::min(wanted, bytes.size())));
    if (!hashing) return {};
    hasher.update(bytes);
    done += bytes.size();
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    session.progress().update({.stage = "HASH",
                               .done = done,
                               .total = size,
                               .bytes_per_second = static_cast<std::uint64_t>(
                                   static_cast<double>(done) / std::max(elapsed, 1e-3))});
    return {};
  };
  // With the digest given only the head is read ahead.
  const bool read =
      read_held_disk(session, hashing ? size : std::min(size, kHeadBytes), keep, "hash");
  session.progress().finish();
  if (!read) {
    found.failure = "the source could not be read.";
    facts.set_value(std::move(found));
    pipe.end("the source could not be read.");
    return;
  }
  if (hashing) found.digest.sha256 = hasher.finish_hex();
  facts.set_value(std::move(found));
  if (!go.get()) {
    pipe.end("the clone did not start.");
    return;
  }
  const bool streamed = read_held_disk(
      session, size,
      [&](std::span<const std::uint8_t> bytes) { return pipe.push(bytes); });
  pipe.end(streamed ? std::nullopt : std::optional<std::string>("its session failed."));
}

int refuse_clone(JobObserver& observer, const std::string& reason) {
  observer.notice(NoticeKind::kDiagnostic, "ravik-device-client: " + reason);
  return 1;
}

}  // namespace

std::string whole_disk_of(const std::string& name, const std::string& sys_class_block) {
  std::error_code error;
  const std::filesystem::path device =
      std::filesystem::canonical(sys_class_block + "/" + name, error);
  if (error) return name;
  if (std::filesystem::exists(device / "partition", error)) {
    return device.parent_path().filename().string();
  }
  return device.filename().string();
}

std::optional<std::string> clone_refusal(const std::string& source,
                                         const std::vector<std::string>& targets,
                                         const std::string& sys_class_block) {
  const std::string disk = whole_disk_of(source, sys_class_block);
  for (const std::string& target : targets) {
    if (whole_disk_of(target, sys_class_block) == disk) {
      return "/dev/" + target + " holds the source /dev/" + source +
             ": a disk cannot be cloned onto itself. Nothing was written.";
    }
  }
  return std::nullopt;
}

int run_clone_job(const JobOptions& options, const std::string& client_path,
                  JobObserver& observer) {
  auto source = describe_target(options.image_path);
  if (!source) return refuse_clone(observer, source.error().message());
  std::vector<std::string> names;
  for (const std::string& path : options.more_target_paths) {
    auto target = describe_target(path);
    if (!target) return refuse_clone(observer, target.error().message());
    names.push_back(target->fields.device_id);
  }
  auto first = describe_target(options.target_path);
  if (!first) return refuse_clone(observer, first.error().message());
  names.push_back(first->fields.device_id);
  if (auto refused = clone_refusal(source->fields.device_id, names, "/sys/class/block")) {
    return refuse_clone(observer, *refused);
  }
  auto prepared = prepare_targets(options, client_path, observer);
  if (!prepared) return refuse_clone(observer, prepared.error());
  const std::uint64_t size = source->fields.size_bytes;

  auto pipe = std::make_shared<ClonePipe>();
  std::promise<SourceFacts> facts;
  std::future<SourceFacts> facts_ready = facts.get_future();
  std::promise<bool> go;
  std::future<bool> started = go.get_future();
  SessionPlan plan{.target = *source,
                   .digest = {},
                   .helper_path = options.helper_path.value_or(
                       default_helper_path(client_path, source->regular_file)),
                   .boot_contents = {}};
  plan.read_only_hold = true;
  const std::unique_ptr<ProgressSink> display_owner = observer.new_progress();
  ProgressSink& display = *display_owner;
  SessionWatch watch;
  SessionOutcome source_outcome;
  bool served = false;  // on the source's thread only
  plan.held_steps = [&](HeldSession& session, SessionOutcome&) {
    served = true;
    serve_source(session, options, size, facts, started, *pipe);
  };
  std::jthread source_session([&] {
    source_outcome = run_helper_session(
        options, plan, {.chunks = nullptr, .progress = display, .watch = watch});
    // A session that failed before it held the source told nothing.
    if (!served) facts.set_value({.digest = {}, .head = {}, .failure = "not held"});
    pipe->end("its session ended.");
  });
  SourceFacts found = facts_ready.get();
  const auto finish_source = [&](bool start) {
    go.set_value(start);
    source_session.join();
  };
  if (!found.failure.empty()) {
    finish_source(false);
    return refuse_clone(observer, "the source disk could not be read: " +
                                      source_outcome.failure + " Nothing was written.");
  }
  if (auto unfit = image_unfit(found.digest, prepared->targets)) {
    finish_source(false);
    return refuse_clone(observer, *unfit);
  }
  std::vector<std::uint64_t> prefixes;
  for (const TargetDescription& target : prepared->targets) {
    auto prefix = options.protected_prefix_bytes
                      ? choose_protected_prefix(options, found.digest, target)
                      : Result<std::uint64_t>(default_protected_prefix(
                            found.head, size, target.logical_block_size));
    if (!prefix) {
      finish_source(false);
      return refuse_clone(observer, prefix.error().message());
    }
    prefixes.push_back(*prefix);
  }
  go.set_value(true);
  const int status = run_fanned_out_write(
      options, options.image_path, std::move(*prepared), found.digest, prefixes,
      ImageFeed{.reader = std::make_unique<PipeReader>(pipe), .reopen = {}, .raw = false},
      observer);
  source_session.join();
  if (!source_outcome.failure.empty()) {
    observer.notice(NoticeKind::kDiagnostic, "ravik-device-client: the source " +
                                                 source->fields.device_path + ": " +
                                                 source_outcome.failure);
    return 1;
  }
  return status;
}

}  // namespace ravik::job
