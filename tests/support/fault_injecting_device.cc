#include "support/fault_injecting_device.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace ravik::testing {

FakeDisk::FakeDisk(std::uint64_t size, std::uint8_t fill)
    : bytes(static_cast<std::size_t>(size), fill) {
  identity.platform = DiskPlatform::kLinux;
  identity.device_id = "fake0";
  identity.device_path = "/dev/fake0";
  identity.size_bytes = size;
  identity.removable = true;
  identity.writable = true;
  identity.whole_device = true;
}

int FakeDisk::count(CallKind kind) const {
  return static_cast<int>(std::count(calls.begin(), calls.end(), kind));
}

FaultInjectingDevice::FaultInjectingDevice(std::shared_ptr<FakeDisk> disk)
    : disk_(std::move(disk)) {}

std::unique_ptr<HeldDeviceIo> FaultInjectingDevice::make(std::shared_ptr<FakeDisk> disk) {
  return std::make_unique<FaultInjectingDevice>(std::move(disk));
}

void FaultInjectingDevice::note(CallKind kind) {
  disk_->calls.push_back(kind);
  if (disk_->on_call) disk_->on_call(kind);
}

std::optional<IoFault> FaultInjectingDevice::take_fault(std::vector<IoFault>& faults,
                                                        std::size_t length) {
  for (IoFault& fault : faults) {
    if (fault.times <= 0) continue;
    const bool covers = fault.offset >= position_ &&
                        fault.offset - position_ < std::max<std::size_t>(length, 1);
    if (!covers) continue;
    --fault.times;
    return fault;
  }
  return std::nullopt;
}

bool FaultInjectingDevice::misaligned(std::size_t length) const {
  if (!disk_->requires_aligned_io) return false;
  const std::uint64_t block = disk_->logical_block_size;
  return block == 0 || position_ % block != 0 || length % block != 0;
}

bool FaultInjectingDevice::memory_aligned(const void* data) const {
  const std::uint64_t block = disk_->logical_block_size;
  return block != 0 && reinterpret_cast<std::uintptr_t>(data) % block == 0;
}

std::uint64_t FaultInjectingDevice::medium_end() const {
  return disk_->counterfeit == Counterfeit::kNone ? disk_->bytes.size() : capacity();
}

void FaultInjectingDevice::for_each_medium_run(
    std::size_t count,
    const std::function<void(std::optional<std::uint64_t>, std::size_t, std::size_t)>&
        run) const {
  const std::uint64_t real = disk_->bytes.size();
  for (std::size_t done = 0; done < count;) {
    std::uint64_t at = position_ + done;
    if (at >= real && disk_->counterfeit == Counterfeit::kDropsWrites) {
      run(std::nullopt, done, count - done);
      return;
    }
    at %= real;
    const auto n =
        static_cast<std::size_t>(std::min<std::uint64_t>(count - done, real - at));
    run(at, done, n);
    done += n;
  }
}

IoResult<std::size_t> FaultInjectingDevice::read(std::span<std::uint8_t> buffer) {
  if (!disk_->open) return std::unexpected(closed_target_io_error());
  if (misaligned(buffer.size())) {
    note(CallKind::kRead);
    return std::unexpected(IoError::from_errno(EINVAL));
  }
  std::size_t length = buffer.size();
  if (auto fault = take_fault(disk_->read_faults, length)) {
    switch (fault->kind) {
      case FaultKind::kFail:
        note(CallKind::kRead);
        return std::unexpected(IoError::from_errno(fault->os_error));
      case FaultKind::kInterrupted:
        note(CallKind::kRead);
        return std::unexpected(IoError::from_errno(EINTR));
      case FaultKind::kZero:
        note(CallKind::kRead);
        return std::size_t{0};
      case FaultKind::kShort:
        length = std::min(length, fault->short_length);
        break;
    }
  }
  const std::uint64_t size = medium_end();
  const std::size_t count =
      position_ >= size
          ? 0
          : static_cast<std::size_t>(std::min<std::uint64_t>(length, size - position_));
  if (count > 0) {
    for_each_medium_run(
        count, [&](std::optional<std::uint64_t> at, std::size_t done, std::size_t n) {
          if (at) {
            std::memcpy(buffer.data() + done, disk_->bytes.data() + *at, n);
          } else {
            std::memset(buffer.data() + done, 0, n);
          }
        });
    disk_->reads.push_back(Transfer{.offset = position_,
                                    .length = count,
                                    .all_zero = false,
                                    .memory_aligned = memory_aligned(buffer.data())});
  }
  position_ += count;
  note(CallKind::kRead);
  return count;
}

IoResult<std::size_t> FaultInjectingDevice::write(std::span<const std::uint8_t> data) {
  if (!disk_->open) return std::unexpected(closed_target_io_error());
  if (misaligned(data.size())) {
    note(CallKind::kWrite);
    return std::unexpected(IoError::from_errno(EINVAL));
  }
  std::size_t length =
      std::min(data.size(),
               disk_->max_write_length.value_or(std::numeric_limits<std::size_t>::max()));
  if (auto fault = take_fault(disk_->write_faults, length)) {
    switch (fault->kind) {
      case FaultKind::kFail:
        note(CallKind::kWrite);
        return std::unexpected(IoError::from_errno(fault->os_error));
      case FaultKind::kInterrupted:
        note(CallKind::kWrite);
        return std::unexpected(IoError::from_errno(EINTR));
      case FaultKind::kZero:
        note(CallKind::kWrite);
        return std::size_t{0};
      case FaultKind::kShort:
        length = std::min(length, fault->short_length);
        break;
    }
  }
  const std::uint64_t size = medium_end();
  if (position_ >= size && length > 0) {
    note(CallKind::kWrite);
    return std::unexpected(IoError::from_errno(ENOSPC));
  }
  const auto count =
      static_cast<std::size_t>(std::min<std::uint64_t>(length, size - position_));
  if (count > 0) {
    const auto written = data.first(count);
    for_each_medium_run(
        count, [&](std::optional<std::uint64_t> at, std::size_t done, std::size_t n) {
          if (!at) return;
          if (disk_->writes_store_zeros) {
            std::memset(disk_->bytes.data() + *at, 0, n);
          } else {
            std::memcpy(disk_->bytes.data() + *at, written.data() + done, n);
          }
        });
    // All bytes zero: the first is, and each equals the next. memcmp keeps
    // this cheap under the sanitizers, which check it once per call instead
    // of once per byte, and the sweeps write many MiB per run.
    const bool zero = written[0] == 0 &&
                      std::memcmp(written.data(), written.data() + 1, count - 1) == 0;
    disk_->writes.push_back(Transfer{.offset = position_,
                                     .length = count,
                                     .all_zero = zero,
                                     .memory_aligned = memory_aligned(data.data())});
  }
  position_ += count;
  note(CallKind::kWrite);
  if (disk_->overreport_writes) return data.size() + 1;
  return count;
}

IoResult<void> FaultInjectingDevice::flush() {
  if (!disk_->open) return std::unexpected(closed_target_io_error());
  return {};
}

IoResult<std::uint64_t> FaultInjectingDevice::seek(SeekFrom from) {
  if (!disk_->open) return std::unexpected(closed_target_io_error());
  note(CallKind::kSeek);
  const auto size = static_cast<std::int64_t>(disk_->bytes.size());
  std::int64_t base = 0;
  std::int64_t offset = 0;
  switch (from.origin()) {
    case SeekFrom::Origin::kStart:
      if (from.position() >
          static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return std::unexpected(IoError::from_errno(EINVAL));
      }
      offset = static_cast<std::int64_t>(from.position());
      break;
    case SeekFrom::Origin::kCurrent:
      base = static_cast<std::int64_t>(position_);
      offset = from.offset();
      break;
    case SeekFrom::Origin::kEnd:
      base = size;
      offset = from.offset();
      break;
  }
  if (offset < 0 && -offset > base) return std::unexpected(IoError::from_errno(EINVAL));
  position_ = static_cast<std::uint64_t>(base + offset);
  return position_;
}

Result<void> FaultInjectingDevice::sync_all() {
  if (!disk_->open) {
    note(CallKind::kSync);
    return std::unexpected(closed_target_error(codes::kWriteFailed));
  }
  ++disk_->sync_calls;
  note(CallKind::kSync);
  if (disk_->fail_sync_from_call && disk_->sync_calls >= *disk_->fail_sync_from_call) {
    return std::unexpected(
        HelperError::io(codes::kWriteFailed, "Could not flush the held target", EIO));
  }
  return {};
}

std::uint64_t FaultInjectingDevice::capacity() const {
  return disk_->reported_capacity.value_or(disk_->bytes.size());
}

std::uint64_t FaultInjectingDevice::logical_block_size() const {
  return disk_->logical_block_size;
}

bool FaultInjectingDevice::requires_aligned_io() const {
  return disk_->requires_aligned_io;
}

const DiskIdentity& FaultInjectingDevice::identity() const { return disk_->identity; }

Result<void> FaultInjectingDevice::verify_current_identity() {
  note(CallKind::kVerify);
  if (!disk_->open)
    return std::unexpected(closed_target_error(codes::kDeviceDisconnected));
  ++disk_->identity_checks;
  if (disk_->identity_checks_before_loss &&
      disk_->identity_checks > *disk_->identity_checks_before_loss) {
    return fail(codes::kDeviceDisconnected,
                "The held target no longer is the selected device.");
  }
  return {};
}

Result<void> FaultInjectingDevice::eject() {
  RAVIK_RETURN_IF_ERROR(verify_current_identity());
  note(CallKind::kEject);
  disk_->open = false;
  if (disk_->refuse_eject) {
    return fail(codes::kSafeReleaseFailed, "The medium refused to eject.");
  }
  disk_->detached = true;
  return {};
}

Result<bool> FaultInjectingDevice::exact_detach_confirmed() {
  ++disk_->detach_polls;
  note(CallKind::kDetachPoll);
  if (disk_->fail_detach_poll && disk_->detach_polls == *disk_->fail_detach_poll) {
    return fail(codes::kDeviceDisconnected, "The held target could not be looked up.");
  }
  if (disk_->detach_confirmed_on_poll &&
      disk_->detach_polls >= *disk_->detach_confirmed_on_poll) {
    return true;
  }
  return disk_->detached;
}

}  // namespace ravik::testing
