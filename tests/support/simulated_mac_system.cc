#include "support/simulated_mac_system.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ravik::testing {
namespace {

using macos::DescriptionKey;
using macos::ValueType;

class SimulatedDictionary final : public macos::DescriptionDictionary {
 public:
  explicit SimulatedDictionary(SimulatedDescription values)
      : values_(std::move(values)) {}

  ValueType type_of(DescriptionKey key) const override { return value(key).type; }
  std::optional<std::int64_t> int64_value(DescriptionKey key) const override {
    const SimulatedValue& v = value(key);
    if (!v.number_fits) return std::nullopt;
    return v.number;
  }
  bool bool_value(DescriptionKey key) const override { return value(key).boolean; }
  std::int64_t string_maximum_utf8_size(DescriptionKey key) const override {
    const SimulatedValue& v = value(key);
    return v.reported_maximum_size.value_or(static_cast<std::int64_t>(v.text.size()));
  }
  bool copy_string_utf8(DescriptionKey key, std::span<char> buffer) const override {
    const SimulatedValue& v = value(key);
    if (v.copy_fails || v.text.size() + 1 > buffer.size()) return false;
    std::memcpy(buffer.data(), v.text.data(), v.text.size());
    buffer[v.text.size()] = '\0';
    return true;
  }

 private:
  const SimulatedValue& value(DescriptionKey key) const {
    static const SimulatedValue kMissing;
    const auto found = values_.find(key);
    return found == values_.end() ? kMissing : found->second;
  }
  SimulatedDescription values_;
};

class SimulatedDisk final : public macos::ArbitrationDisk {
 public:
  explicit SimulatedDisk(SimulatedMacSystem* system) : system_(system) {}
  ~SimulatedDisk() override { system_->log("release_disk"); }

  std::unique_ptr<macos::DescriptionDictionary> copy_description() override {
    system_->log("copy_description");
    auto description = system_->next_description();
    if (!description) return nullptr;
    return std::make_unique<SimulatedDictionary>(std::move(*description));
  }
  void unmount_whole(macos::OperationCompletion* completion) override {
    system_->log("unmount_whole");
    system_->start(system_->unmounts, completion, nullptr);
  }
  void claim(macos::OperationCompletion* completion,
             macos::ReleaseRequestAnswer answer) override {
    system_->log("claim");
    system_->set_release_answer(answer);
    system_->start(system_->claims, completion,
                   [system = system_] { system->claimed = !system->claim_not_granted; });
  }
  bool is_claimed() override {
    system_->log("is_claimed");
    return system_->claimed || system_->claimed_by_other;
  }
  void unclaim() override {
    system_->log("unclaim");
    system_->claimed = false;
  }
  void eject(macos::OperationCompletion* completion) override {
    system_->log("eject");
    // A disk with an open node is busy and stays.
    system_->start(
        system_->ejects, completion,
        [system = system_] {
          system->claimed = false;
          if (system->medium) system->medium->detached = true;
        },
        system_->descriptor_open ? std::optional(macos::kStatusBusy) : std::nullopt);
  }

 private:
  SimulatedMacSystem* system_;
};

class SimulatedSession final : public macos::ArbitrationSession {
 public:
  explicit SimulatedSession(SimulatedMacSystem* system) : system_(system) {}
  ~SimulatedSession() override { system_->log("release_session"); }

  void schedule_with_current_run_loop() override {
    system_->scheduled_on_this_thread();
    system_->log("schedule");
  }
  void unschedule_from_run_loop() override { system_->log("unschedule"); }
  std::unique_ptr<macos::ArbitrationDisk> disk_from_bsd_name(
      const std::string& bsd_name) override {
    system_->log("disk_from_bsd_name " + bsd_name);
    if (!system_->disk_resolvable) return nullptr;
    return std::make_unique<SimulatedDisk>(system_);
  }

 private:
  SimulatedMacSystem* system_;
};

macos::SystemResult<std::size_t> transferred(const IoResult<std::size_t>& count) {
  if (!count)
    return std::unexpected(count.error().os_error != 0 ? count.error().os_error : EIO);
  return *count;
}

// The node's byte I/O reaches the FakeDisk through a FaultInjectingDevice.
class SimulatedDescriptor final : public macos::RawDescriptor {
 public:
  explicit SimulatedDescriptor(SimulatedMacSystem* system)
      : system_(system), medium_(system->medium) {
    system_->descriptor_open = true;
  }
  ~SimulatedDescriptor() override {
    system_->log("close");
    system_->descriptor_open = false;
  }

  macos::SystemResult<macos::NodeStatus> status() override {
    system_->log("fstat");
    if (system_->fstat_error != 0) return std::unexpected(system_->fstat_error);
    return system_->descriptor_status;
  }
  macos::SystemResult<std::uint32_t> block_size() override {
    system_->log("ioctl block_size");
    return system_->block_size;
  }
  macos::SystemResult<std::uint64_t> block_count() override {
    system_->log("ioctl block_count");
    return system_->block_count;
  }
  macos::SystemResult<void> synchronize_cache() override {
    system_->log("ioctl synchronize_cache");
    if (!medium_.sync_all()) return std::unexpected(EIO);
    return {};
  }
  macos::SystemResult<std::size_t> read(std::span<std::uint8_t> buffer) override {
    system_->transfer(/*is_read=*/true);
    return transferred(medium_.read(buffer));
  }
  macos::SystemResult<std::size_t> write(std::span<const std::uint8_t> data) override {
    system_->transfer(/*is_read=*/false);
    return transferred(medium_.write(data));
  }
  macos::SystemResult<std::uint64_t> seek(std::int64_t offset,
                                          SeekFrom::Origin origin) override {
    const SeekFrom from = origin == SeekFrom::Origin::kStart
                              ? SeekFrom::start(static_cast<std::uint64_t>(offset))
                          : origin == SeekFrom::Origin::kCurrent
                              ? SeekFrom::current(offset)
                              : SeekFrom::end(offset);
    const auto position = medium_.seek(from);
    if (!position) return std::unexpected(EINVAL);
    return *position;
  }

 private:
  SimulatedMacSystem* system_;
  FaultInjectingDevice medium_;
};

}  // namespace

SimulatedValue SimulatedValue::string(std::string text) {
  SimulatedValue value;
  value.type = ValueType::kString;
  value.text = std::move(text);
  return value;
}
SimulatedValue SimulatedValue::integer(std::int64_t number) {
  SimulatedValue value;
  value.type = ValueType::kNumber;
  value.number = number;
  return value;
}
SimulatedValue SimulatedValue::flag(bool boolean) {
  SimulatedValue value;
  value.type = ValueType::kBoolean;
  value.boolean = boolean;
  return value;
}

SimulatedDescription description_of(const SimulatedDiskFacts& facts) {
  using Key = DescriptionKey;
  return {
      {Key::kMediaBsdName, SimulatedValue::string(facts.bsd_name)},
      {Key::kMediaSize, SimulatedValue::integer(static_cast<std::int64_t>(facts.size))},
      {Key::kMediaBlockSize,
       SimulatedValue::integer(static_cast<std::int64_t>(facts.block_size))},
      {Key::kMediaBsdMajor, SimulatedValue::integer(facts.device_number >> 24)},
      {Key::kMediaBsdMinor, SimulatedValue::integer(facts.device_number & 0xFFFFFF)},
      {Key::kDeviceModel, SimulatedValue::string(facts.model)},
      {Key::kBusPath, SimulatedValue::string(facts.bus_path)},
      {Key::kMediaWhole, SimulatedValue::flag(true)},
      {Key::kMediaWritable, SimulatedValue::flag(true)},
      {Key::kMediaRemovable, SimulatedValue::flag(true)},
      {Key::kMediaEjectable, SimulatedValue::flag(true)},
  };
}

SimulatedMacSystem::SimulatedMacSystem(SimulatedDiskFacts facts,
                                       std::shared_ptr<FakeDisk> medium_behind)
    : descriptions{description_of(facts)},
      descriptor_status{.is_device = true, .device_number = facts.device_number},
      path_status{.is_device = true, .device_number = facts.device_number},
      block_size(static_cast<std::uint32_t>(facts.block_size)),
      block_count(facts.size / facts.block_size),
      medium(std::move(medium_behind)) {}

int SimulatedMacSystem::count(const std::string& call) const {
  return static_cast<int>(std::count(calls.begin(), calls.end(), call));
}

bool SimulatedMacSystem::on_opening_thread() {
  return !run_loop_thread_ || *run_loop_thread_ == std::this_thread::get_id();
}

void SimulatedMacSystem::scheduled_on_this_thread() {
  run_loop_thread_ = std::this_thread::get_id();
}

void SimulatedMacSystem::log(std::string call) {
  if (!on_opening_thread()) ++calls_off_opening_thread;
  calls.push_back(call);
  if (on_call) on_call(call);
}

std::optional<SimulatedDescription> SimulatedMacSystem::next_description() {
  if (descriptions.empty()) return std::nullopt;
  auto description = descriptions.front();
  if (descriptions.size() > 1) descriptions.pop_front();
  return description;
}

void SimulatedMacSystem::start(std::deque<SimulatedOutcome>& outcomes,
                               macos::OperationCompletion* record,
                               std::function<void()> on_success,
                               std::optional<macos::ArbitrationStatus> refusal) {
  SimulatedOutcome outcome;
  if (!outcomes.empty()) {
    outcome = outcomes.front();
    outcomes.pop_front();
  }
  if (!outcome.completes) {
    never_completed.push_back(record);
    return;
  }
  if (outcome.status == 0 && refusal) outcome.status = *refusal;
  Pending done{
      .record = record, .status = outcome.status, .on_success = std::move(on_success)};
  if (outcome.before_return) {
    complete(std::move(done));
    return;
  }
  pending_.push_back(std::move(done));
}

void SimulatedMacSystem::complete(Pending done) {
  if (done.status == 0 && done.on_success) done.on_success();
  done.record->status = done.status;
  done.record->done = true;
}

void SimulatedMacSystem::request_claim_release() {
  const std::lock_guard lock(clock_mutex_);
  if (!claimed) {
    claimed_by_other = true;
    return;
  }
  if (!release_requested_at_) release_requested_at_ = now_;
}

void SimulatedMacSystem::advance(std::chrono::steady_clock::duration by) {
  now_ += by;
  // Left unanswered too long, the request is granted by Disk Arbitration.
  if (release_requested_at_ && now_ - *release_requested_at_ >= kResponseTimeout) {
    release_requested_at_.reset();
    claimed = false;
    claimed_by_other = true;
    request_settled_.notify_all();
  }
}

void SimulatedMacSystem::pass_time(std::chrono::steady_clock::duration by) {
  const std::lock_guard lock(clock_mutex_);
  advance(by);
}

bool SimulatedMacSystem::wait_until_no_release_request(std::chrono::milliseconds limit) {
  std::unique_lock lock(clock_mutex_);
  return request_settled_.wait_for(lock, limit,
                                   [&] { return !release_requested_at_.has_value(); });
}

std::chrono::steady_clock::time_point SimulatedMacSystem::now() {
  const std::lock_guard lock(clock_mutex_);
  return now_;
}

void SimulatedMacSystem::transfer(bool is_read) {
  if (!on_opening_thread()) ++calls_off_opening_thread;
  if (is_read && ++reads == release_request_at_read) request_claim_release();
  pass_time(transfer_time);
}

std::unique_ptr<macos::ArbitrationSession> SimulatedMacSystem::create_session() {
  log("create_session");
  if (!session_available) return nullptr;
  return std::make_unique<SimulatedSession>(this);
}

void SimulatedMacSystem::run_loop_once(std::chrono::duration<double> limit) {
  if (limit.count() == 0) ++zero_length_runs;
  {
    const std::lock_guard lock(clock_mutex_);
    advance(std::chrono::duration_cast<std::chrono::steady_clock::duration>(limit));
    // Another thread's run loop has no Disk Arbitration source.
    if (!on_opening_thread()) {
      ++calls_off_opening_thread;
      return;
    }
    // One source handled per run, as the real loop returns after one.
    if (release_requested_at_) {
      release_requested_at_.reset();
      if (release_answer_ != nullptr && release_answer_() != 0) {
        ++release_requests_refused;
      } else {
        claimed = false;
        claimed_by_other = true;
      }
      request_settled_.notify_all();
      return;
    }
  }
  if (pending_.empty()) return;
  Pending done = std::move(pending_.front());
  pending_.erase(pending_.begin());
  complete(std::move(done));
}

macos::SystemResult<std::unique_ptr<macos::RawDescriptor>>
SimulatedMacSystem::open_exclusive(const std::string& path, bool read_only) {
  log((read_only ? "open read-only " : "open ") + path);
  if (open_error != 0) return std::unexpected(open_error);
  return std::make_unique<SimulatedDescriptor>(this);
}

macos::SystemResult<macos::NodeStatus> SimulatedMacSystem::link_status(
    const std::string& path) {
  log("lstat " + path);
  if (lstat_error != 0) return std::unexpected(lstat_error);
  return path_status;
}

}  // namespace ravik::testing
