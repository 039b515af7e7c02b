#include "support/simulated_mac_system.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ravik::testing {
namespace {

using macos::DescriptionKey;
using macos::HoldCallbacks;
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
  double double_value(DescriptionKey key) const override { return value(key).real; }
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
    auto description = system_->copy_description();
    if (!description) return nullptr;
    return std::make_unique<SimulatedDictionary>(std::move(*description));
  }
  void unmount_whole(macos::OperationCompletion* completion) override {
    system_->log("unmount_whole");
    system_->start(SimulatedMacSystem::Operation::kUnmount, completion, nullptr);
  }
  void claim(macos::OperationCompletion* completion, HoldCallbacks* hold) override {
    system_->log("claim");
    system_->start(SimulatedMacSystem::Operation::kClaim, completion, hold);
  }
  void watch(HoldCallbacks* hold, std::int64_t bsd_unit) override {
    system_->log("watch unit " + std::to_string(bsd_unit));
    system_->watch(hold);
  }
  void unwatch() override {
    system_->log("unwatch");
    system_->unwatch();
  }
  bool is_claimed() override {
    system_->log("is_claimed");
    return system_->is_claimed();
  }
  void unclaim() override {
    system_->log("unclaim");
    system_->unclaim();
  }
  void eject(macos::OperationCompletion* completion) override {
    system_->log("eject");
    system_->start(SimulatedMacSystem::Operation::kEject, completion, nullptr);
  }

 private:
  SimulatedMacSystem* system_;
};

class SimulatedSession final : public macos::ArbitrationSession {
 public:
  explicit SimulatedSession(SimulatedMacSystem* system) : system_(system) {}
  ~SimulatedSession() override {
    stop_serving();
    system_->log("release_session");
  }

  void serve_on_own_queue() override {
    system_->log("serve_on_own_queue");
    system_->start_queue();
    serving_ = true;
  }
  void stop_serving() override {
    if (!serving_) return;
    serving_ = false;
    system_->log("stop_serving");
    system_->stop_queue();
  }
  std::unique_ptr<macos::ArbitrationDisk> disk_from_bsd_name(
      const std::string& bsd_name) override {
    system_->log("disk_from_bsd_name " + bsd_name);
    if (!system_->disk_resolvable) return nullptr;
    return std::make_unique<SimulatedDisk>(system_);
  }

 private:
  SimulatedMacSystem* system_;
  bool serving_ = false;
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
      : system_(system), medium_(system->current_medium()) {
    system_->set_descriptor_open(true);
  }
  ~SimulatedDescriptor() override {
    system_->log("close");
    system_->set_descriptor_open(false);
  }

  macos::SystemResult<macos::NodeStatus> status() override {
    system_->log("fstat");
    if (const int error = system_->current_fstat_error(); error != 0) {
      return std::unexpected(error);
    }
    return system_->current_descriptor_status();
  }
  macos::SystemResult<std::uint32_t> block_size() override {
    system_->log("ioctl block_size");
    return system_->current_block_size();
  }
  macos::SystemResult<std::uint64_t> block_count() override {
    system_->log("ioctl block_count");
    return system_->current_block_count();
  }
  macos::SystemResult<void> synchronize_cache() override {
    system_->log("ioctl synchronize_cache");
    if (!medium_.sync_all()) return std::unexpected(EIO);
    return {};
  }
  macos::SystemResult<std::size_t> read(std::span<std::uint8_t> buffer) override {
    system_->transfer_starts(/*is_read=*/true);
    const auto count = transferred(medium_.read(buffer));
    system_->transfer_ended(/*is_read=*/true);
    return count;
  }
  macos::SystemResult<std::size_t> write(std::span<const std::uint8_t> data) override {
    system_->transfer_starts(/*is_read=*/false);
    const auto count = transferred(medium_.write(data));
    system_->transfer_ended(/*is_read=*/false);
    return count;
  }
  macos::SystemResult<std::uint64_t> seek(std::int64_t offset,
                                          SeekFrom::Origin origin) override {
    // A device node's own size is 0: lseek from its end counts from 0.
    if (origin == SeekFrom::Origin::kEnd) {
      if (offset < 0) return std::unexpected(EINVAL);
      origin = SeekFrom::Origin::kStart;
    }
    const SeekFrom from = origin == SeekFrom::Origin::kStart
                              ? SeekFrom::start(static_cast<std::uint64_t>(offset))
                              : SeekFrom::current(offset);
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
  value.real = static_cast<double>(number);
  return value;
}
SimulatedValue SimulatedValue::time(double seconds) {
  SimulatedValue value;
  value.type = ValueType::kNumber;
  value.real = seconds;
  value.number_fits = false;  // not a whole number
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
  SimulatedDescription description{
      {Key::kMediaBsdName, SimulatedValue::string(facts.bsd_name)},
      {Key::kMediaSize, SimulatedValue::integer(static_cast<std::int64_t>(facts.size))},
      {Key::kMediaBlockSize,
       SimulatedValue::integer(static_cast<std::int64_t>(facts.block_size))},
      {Key::kMediaBsdMajor, SimulatedValue::integer(facts.device_number >> 24)},
      {Key::kMediaBsdMinor, SimulatedValue::integer(facts.device_number & 0xFFFFFF)},
      {Key::kMediaWhole, SimulatedValue::flag(true)},
      {Key::kMediaWritable, SimulatedValue::flag(true)},
      {Key::kMediaRemovable, SimulatedValue::flag(true)},
      {Key::kMediaEjectable, SimulatedValue::flag(true)},
      {Key::kDevicePath, SimulatedValue::string(facts.device_path)},
      {Key::kMediaPath, SimulatedValue::string(facts.media_path)},
      {Key::kAppearanceTime, SimulatedValue::time(facts.appearance_time)},
  };
  if (facts.model) description[Key::kDeviceModel] = SimulatedValue::string(*facts.model);
  if (facts.bus_path)
    description[Key::kBusPath] = SimulatedValue::string(*facts.bus_path);
  return description;
}

SimulatedMacSystem::SimulatedMacSystem(SimulatedDiskFacts facts,
                                       std::shared_ptr<FakeDisk> medium_behind)
    : descriptions{description_of(facts)},
      descriptor_status{.is_device = true, .device_number = facts.device_number},
      path_status{.is_device = true, .device_number = facts.device_number},
      block_size(static_cast<std::uint32_t>(facts.block_size)),
      block_count(facts.size / facts.block_size),
      medium(std::move(medium_behind)),
      facts_(std::move(facts)) {}

SimulatedMacSystem::~SimulatedMacSystem() { stop_queue(); }

int SimulatedMacSystem::count(const std::string& call) const {
  const std::lock_guard lock(mutex_);
  return static_cast<int>(std::count(calls.begin(), calls.end(), call));
}

void SimulatedMacSystem::log(std::string call) {
  {
    const std::lock_guard lock(mutex_);
    calls.push_back(call);
  }
  if (on_call) on_call(call);
}

std::optional<SimulatedDescription> SimulatedMacSystem::copy_description() {
  const std::lock_guard lock(mutex_);
  if (!disk_known || descriptions.empty()) return std::nullopt;
  auto description = descriptions.front();
  if (descriptions.size() > 1) descriptions.pop_front();
  return description;
}

void SimulatedMacSystem::post(std::function<void()> run) {
  queue_.push_back(Callback{.run = std::move(run), .queued_at = now_});
  changed_.notify_all();
}

void SimulatedMacSystem::start(Operation operation, macos::OperationCompletion* record,
                               HoldCallbacks* hold) {
  Lock lock(mutex_);
  // Refused inside the request call: the daemon knows no such disk.
  if (!disk_known) {
    record->complete(kStatusBadArgument);
    return;
  }
  std::deque<SimulatedOutcome>& outcomes = operation == Operation::kUnmount ? unmounts
                                           : operation == Operation::kClaim ? claims
                                                                            : ejects;
  SimulatedOutcome outcome;
  if (!outcomes.empty()) {
    outcome = outcomes.front();
    outcomes.pop_front();
  }
  if (!outcome.completes) {
    never_completed.push_back(record);
    return;
  }
  // Runs under mutex_, on the queue or inside the call.
  auto finish = [this, operation, record, hold, outcome] {
    if (outcome.vanishes) {
      disappear();
      record->complete(kStatusNotFound);
      return;
    }
    macos::ArbitrationStatus status = outcome.status;
    if (status == 0 && operation == Operation::kUnmount) status = unmount_refusal();
    if (status == 0 && operation == Operation::kUnmount && !mounted.empty()) {
      // Every watching session is asked, the requester's own included.
      if (watcher_ != nullptr && !not_responding) status = watcher_->answer_unmount();
      if (status != 0) ++dissents;
      if (status == 0) mounted.clear();
    }
    if (status == 0 && operation == Operation::kClaim) {
      if (claimed_by_other) {
        status = macos::kStatusBusy;  // the holder's dissenter
      } else {
        claimed = !claim_not_granted;
        claim_holder_ = hold;
      }
    }
    if (status == 0 && operation == Operation::kEject) status = eject_refusal();
    if (status == 0 && operation == Operation::kEject) {
      if (watcher_ != nullptr && !not_responding) status = watcher_->answer_eject();
      if (status == 0 && outcome.disappears) disappear();
    }
    record->complete(status);
  };
  if (outcome.before_return) {
    finish();
    return;
  }
  post(std::move(finish));
}

void SimulatedMacSystem::disappear() {
  if (!disk_known) return;
  disk_known = false;
  claimed = false;
  claimed_by_other = false;
  if (medium) medium->detached = true;
  // The daemon reports each disk of the unit gone, the partitions first,
  // each with the description it carried.
  SimulatedDescription whole = description_of(facts_);
  if (!descriptions.empty() && descriptions.front()) whole = *descriptions.front();
  std::vector<SimulatedDescription> gone;
  for (const std::string& partition : mounted) {
    SimulatedDescription part = whole;
    part[DescriptionKey::kMediaBsdName] = SimulatedValue::string(partition);
    part[DescriptionKey::kMediaPath] =
        SimulatedValue::string(facts_.media_path + "/" + partition);
    gone.push_back(std::move(part));
  }
  gone.push_back(std::move(whole));
  mounted.clear();
  for (SimulatedDescription& snapshot : gone) {
    post([this, snapshot = std::move(snapshot)] {
      if (watcher_ == nullptr) return;
      const SimulatedDictionary dictionary(snapshot);
      watcher_->disk_disappeared(&dictionary);
    });
  }
}

macos::ArbitrationStatus SimulatedMacSystem::unmount_refusal() const {
  const bool takes_down_the_system = std::ranges::any_of(
      mounted,
      [&](const std::string& volume) { return system_volumes.contains(volume); });
  return takes_down_the_system ? macos::kStatusBusy : 0;
}

macos::ArbitrationStatus SimulatedMacSystem::eject_refusal() const {
  // Only a whole disk is ejected; the description as it stands decides.
  if (descriptions.empty() || !descriptions.front()) return 0;
  const auto whole = descriptions.front()->find(DescriptionKey::kMediaWhole);
  const bool described_whole = whole != descriptions.front()->end() &&
                               whole->second.type == ValueType::kBoolean &&
                               whole->second.boolean;
  return described_whole ? 0 : kStatusUnsupported;
}

void SimulatedMacSystem::watch(HoldCallbacks* hold) {
  const std::lock_guard lock(mutex_);
  watcher_ = hold;
}

void SimulatedMacSystem::unwatch() {
  const std::lock_guard lock(mutex_);
  watcher_ = nullptr;
}

bool SimulatedMacSystem::is_claimed() {
  const std::lock_guard lock(mutex_);
  return disk_known && (claimed || claimed_by_other);
}

void SimulatedMacSystem::unclaim() {
  const std::lock_guard lock(mutex_);
  // A claim handed over is the other client's: unclaiming it does nothing.
  claimed = false;
  claim_holder_ = nullptr;
}

void SimulatedMacSystem::request_claim_release() {
  const std::lock_guard lock(mutex_);
  request_release_locked();
}

void SimulatedMacSystem::request_release_locked() {
  if (!claimed || not_responding) {
    // Nobody to ask: the other client has the claim at once.
    claimed = false;
    claimed_by_other = true;
    changed_.notify_all();
    return;
  }
  if (release_pending_) return;
  release_pending_ = true;
  release_requested_at_ = now_;
  post([this] {
    if (!release_pending_) return;  // handed over meanwhile
    release_pending_ = false;
    const macos::ArbitrationStatus answer =
        claim_holder_ != nullptr ? claim_holder_->answer_release_request() : 0;
    if (answer != 0) {
      ++release_requests_refused;
    } else {
      claimed = false;
      claimed_by_other = true;
    }
  });
}

bool SimulatedMacSystem::wait_until_no_release_request(std::chrono::milliseconds limit) {
  Lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return !release_pending_; });
}

macos::ArbitrationStatus SimulatedMacSystem::ask_approval(
    Lock& lock, std::function<macos::ArbitrationStatus(HoldCallbacks&)> ask) {
  if (watcher_ == nullptr || not_responding) return 0;
  if (queue_stalled_ || !queue_running_) {
    // Unanswered past the daemon's patience: approved, and the session is
    // asked nothing more until it fetches again.
    advance(kResponseTimeout + std::chrono::seconds(1));
    not_responding = true;
    return 0;
  }
  auto answer = std::make_shared<std::optional<macos::ArbitrationStatus>>();
  post([this, answer, ask = std::move(ask)] {
    *answer = watcher_ != nullptr ? ask(*watcher_) : 0;
  });
  changed_.wait(lock, [&] { return answer->has_value() || queue_stalled_; });
  if (!answer->has_value()) {
    advance(kResponseTimeout + std::chrono::seconds(1));
    not_responding = true;
    return 0;
  }
  return **answer;
}

bool SimulatedMacSystem::automount(const std::string& name) {
  Lock lock(mutex_);
  if (!disk_known) return false;
  const macos::ArbitrationStatus status =
      ask_approval(lock, [](HoldCallbacks& hold) { return hold.answer_mount(); });
  if (status != 0) {
    ++dissents;
    return false;
  }
  mounted.insert(name);
  return true;
}

macos::ArbitrationStatus SimulatedMacSystem::unmount_by_other() {
  Lock lock(mutex_);
  if (mounted.empty()) return 0;
  if (const macos::ArbitrationStatus refused = unmount_refusal(); refused != 0) {
    return refused;
  }
  const macos::ArbitrationStatus status =
      ask_approval(lock, [](HoldCallbacks& hold) { return hold.answer_unmount(); });
  if (status != 0) {
    ++dissents;
    return status;
  }
  mounted.clear();
  return 0;
}

macos::ArbitrationStatus SimulatedMacSystem::eject_by_other(const std::string& name) {
  Lock lock(mutex_);
  if (!disk_known) return kStatusBadArgument;
  // A partition is not whole: refused before any session is asked.
  if (!name.empty() && name != facts_.bsd_name) return kStatusUnsupported;
  if (const macos::ArbitrationStatus refused = eject_refusal(); refused != 0) {
    return refused;
  }
  const macos::ArbitrationStatus status =
      ask_approval(lock, [](HoldCallbacks& hold) { return hold.answer_eject(); });
  if (status != 0) {
    ++dissents;
    return status;
  }
  // The driver does not refuse for the helper's open node: only the
  // dissent excludes.
  disappear();
  return 0;
}

void SimulatedMacSystem::stall_queue() {
  const std::lock_guard lock(mutex_);
  queue_stalled_ = true;
  changed_.notify_all();
}

void SimulatedMacSystem::resume_queue() {
  const std::lock_guard lock(mutex_);
  queue_stalled_ = false;
  // The fetch: everything queued meanwhile runs, and the session is asked
  // again.
  not_responding = false;
  changed_.notify_all();
}

void SimulatedMacSystem::advance(std::chrono::steady_clock::duration by) {
  now_ += by;
  // Left unanswered too long, the request is granted by Disk Arbitration.
  if (release_pending_ && now_ - release_requested_at_ >= kResponseTimeout) {
    release_pending_ = false;
    claimed = false;
    claimed_by_other = true;
    not_responding = true;
    changed_.notify_all();
  }
}

void SimulatedMacSystem::pass_time(std::chrono::steady_clock::duration by) {
  const std::lock_guard lock(mutex_);
  advance(by);
}

std::chrono::steady_clock::time_point SimulatedMacSystem::now() {
  const std::lock_guard lock(mutex_);
  return now_;
}

bool SimulatedMacSystem::queue_idle() const {
  return !queue_running_ || queue_stalled_ || (queue_.empty() && !queue_busy_);
}

std::optional<macos::ArbitrationStatus> SimulatedMacSystem::wait(
    macos::OperationCompletion& completion, std::chrono::seconds limit) {
  Lock lock(mutex_);
  // Until the completion came, or nothing left could bring it.
  changed_.wait(lock, [&] { return completion.result().has_value() || queue_idle(); });
  if (const auto status = completion.result()) return status;
  advance(limit);
  return std::nullopt;
}

void SimulatedMacSystem::start_queue() {
  const std::lock_guard lock(mutex_);
  if (queue_running_) return;
  queue_running_ = true;
  queue_stopping_ = false;
  queue_thread_ = std::thread([this] { serve_queue(); });
}

void SimulatedMacSystem::stop_queue() {
  {
    const std::lock_guard lock(mutex_);
    if (!queue_running_) return;
    queue_stopping_ = true;
    changed_.notify_all();
  }
  queue_thread_.join();
  const std::lock_guard lock(mutex_);
  queue_running_ = false;
  claim_holder_ = nullptr;
  watcher_ = nullptr;
  changed_.notify_all();
}

void SimulatedMacSystem::serve_queue() {
  Lock lock(mutex_);
  for (;;) {
    changed_.wait(
        lock, [&] { return queue_stopping_ || (!queue_stalled_ && !queue_.empty()); });
    // What was queued before the session left its queue still runs.
    if (queue_.empty() || queue_stalled_) {
      if (queue_stopping_) return;
      continue;
    }
    // A fetch: the session responds again, and everything queued runs.
    not_responding = false;
    Callback callback = std::move(queue_.front());
    queue_.pop_front();
    queue_busy_ = true;
    callback.run();
    queue_busy_ = false;
    changed_.notify_all();
  }
}

void SimulatedMacSystem::transfer_starts(bool is_read) {
  Lock lock(mutex_);
  const int number = is_read ? ++reads : ++writes;
  if ((is_read && number == release_request_at_read) ||
      (!is_read && number == release_request_at_write)) {
    request_release_locked();
    // The queue answers in its own time while this thread is in the call.
    changed_.wait(lock, [&] { return !release_pending_ || queue_idle(); });
  }
  advance(transfer_time);
}

void SimulatedMacSystem::transfer_ended(bool is_read) {
  bool appears = false;
  {
    const std::lock_guard lock(mutex_);
    appears = !is_read && writes == partition_appears_at_write;
  }
  if (appears) (void)automount(facts_.bsd_name + "s1");
}

std::unique_ptr<macos::ArbitrationSession> SimulatedMacSystem::create_session() {
  log("create_session");
  if (!session_available) return nullptr;
  return std::make_unique<SimulatedSession>(this);
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
  const std::lock_guard lock(mutex_);
  if (lstat_error != 0) return std::unexpected(lstat_error);
  return path_status;
}

void SimulatedMacSystem::set_descriptor_open(bool open) {
  const std::lock_guard lock(mutex_);
  descriptor_open = open;
}
macos::NodeStatus SimulatedMacSystem::current_descriptor_status() {
  const std::lock_guard lock(mutex_);
  return descriptor_status;
}
int SimulatedMacSystem::current_fstat_error() {
  const std::lock_guard lock(mutex_);
  return fstat_error;
}
macos::SystemResult<std::uint32_t> SimulatedMacSystem::current_block_size() {
  const std::lock_guard lock(mutex_);
  return block_size;
}
macos::SystemResult<std::uint64_t> SimulatedMacSystem::current_block_count() {
  const std::lock_guard lock(mutex_);
  return block_count;
}
std::shared_ptr<FakeDisk> SimulatedMacSystem::current_medium() {
  const std::lock_guard lock(mutex_);
  return medium;
}

}  // namespace ravik::testing
