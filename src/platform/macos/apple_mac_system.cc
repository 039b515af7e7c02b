// Each member is one framework or system call; the rules that decide what
// the answers mean live in the portable code over MacSystem.
#include "platform/macos/apple_mac_system.h"

#include <CoreFoundation/CoreFoundation.h>
#include <DiskArbitration/DiskArbitration.h>
#include <fcntl.h>
#include <sys/disk.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace ravik::macos {
namespace {

// Completion of unmount, claim and eject: the dissenter's status, or 0.
void operation_callback(DADiskRef, DADissenterRef dissenter, void* context) {
  if (context == nullptr) return;
  auto* record = static_cast<OperationCompletion*>(context);
  record->status = dissenter != nullptr ? DADissenterGetStatus(dissenter) : 0;
  record->done = true;
}

// A request to release the held claim, put to the answer the claim was
// taken with (the context). Runs on the opening thread's run loop.
DADissenterRef answer_release_request(DADiskRef, void* context) {
  const auto answer = *static_cast<const ReleaseRequestAnswer*>(context);
  const ArbitrationStatus status = answer();
  if (status == 0) return nullptr;
  return DADissenterCreate(kCFAllocatorDefault, status, nullptr);
}

CFStringRef key_name(DescriptionKey key) {
  switch (key) {
    case DescriptionKey::kMediaBsdName:
      return kDADiskDescriptionMediaBSDNameKey;
    case DescriptionKey::kMediaSize:
      return kDADiskDescriptionMediaSizeKey;
    case DescriptionKey::kMediaBlockSize:
      return kDADiskDescriptionMediaBlockSizeKey;
    case DescriptionKey::kMediaBsdMajor:
      return kDADiskDescriptionMediaBSDMajorKey;
    case DescriptionKey::kMediaBsdMinor:
      return kDADiskDescriptionMediaBSDMinorKey;
    case DescriptionKey::kDeviceModel:
      return kDADiskDescriptionDeviceModelKey;
    case DescriptionKey::kBusPath:
      return kDADiskDescriptionBusPathKey;
    case DescriptionKey::kMediaWhole:
      return kDADiskDescriptionMediaWholeKey;
    case DescriptionKey::kMediaWritable:
      return kDADiskDescriptionMediaWritableKey;
    case DescriptionKey::kMediaRemovable:
      return kDADiskDescriptionMediaRemovableKey;
    case DescriptionKey::kMediaEjectable:
      return kDADiskDescriptionMediaEjectableKey;
  }
  return nullptr;
}

class AppleDescription final : public DescriptionDictionary {
 public:
  explicit AppleDescription(CFDictionaryRef dictionary) : dictionary_(dictionary) {}
  ~AppleDescription() override { CFRelease(dictionary_); }
  AppleDescription(const AppleDescription&) = delete;
  AppleDescription& operator=(const AppleDescription&) = delete;

  ValueType type_of(DescriptionKey key) const override {
    const CFTypeRef value = get(key);
    if (value == nullptr) return ValueType::kMissing;
    const CFTypeID type = CFGetTypeID(value);
    if (type == CFStringGetTypeID()) return ValueType::kString;
    if (type == CFNumberGetTypeID()) return ValueType::kNumber;
    if (type == CFBooleanGetTypeID()) return ValueType::kBoolean;
    return ValueType::kOther;
  }
  std::optional<std::int64_t> int64_value(DescriptionKey key) const override {
    SInt64 value = 0;
    if (!CFNumberGetValue(static_cast<CFNumberRef>(get(key)), kCFNumberSInt64Type,
                          &value)) {
      return std::nullopt;
    }
    return static_cast<std::int64_t>(value);
  }
  bool bool_value(DescriptionKey key) const override {
    return CFBooleanGetValue(static_cast<CFBooleanRef>(get(key)));
  }
  std::int64_t string_maximum_utf8_size(DescriptionKey key) const override {
    const auto text = static_cast<CFStringRef>(get(key));
    return static_cast<std::int64_t>(CFStringGetMaximumSizeForEncoding(
        CFStringGetLength(text), kCFStringEncodingUTF8));
  }
  bool copy_string_utf8(DescriptionKey key, std::span<char> buffer) const override {
    return CFStringGetCString(static_cast<CFStringRef>(get(key)), buffer.data(),
                              static_cast<CFIndex>(buffer.size()), kCFStringEncodingUTF8);
  }

 private:
  CFTypeRef get(DescriptionKey key) const {
    return CFDictionaryGetValue(dictionary_, key_name(key));
  }
  CFDictionaryRef dictionary_;
};

class AppleDisk final : public ArbitrationDisk {
 public:
  explicit AppleDisk(DADiskRef disk) : disk_(disk) {}
  ~AppleDisk() override { CFRelease(disk_); }
  AppleDisk(const AppleDisk&) = delete;
  AppleDisk& operator=(const AppleDisk&) = delete;

  std::unique_ptr<DescriptionDictionary> copy_description() override {
    const CFDictionaryRef dictionary = DADiskCopyDescription(disk_);
    if (dictionary == nullptr) return nullptr;
    return std::make_unique<AppleDescription>(dictionary);
  }
  void unmount_whole(OperationCompletion* completion) override {
    DADiskUnmount(disk_, kDADiskUnmountOptionWhole, operation_callback, completion);
  }
  void claim(OperationCompletion* completion, ReleaseRequestAnswer answer) override {
    // Kept here, where it outlives the claim: the session is unscheduled
    // before the disk object goes, so no request arrives after.
    release_answer_ = answer;
    DADiskClaim(disk_, kDADiskClaimOptionDefault, answer_release_request,
                &release_answer_, operation_callback, completion);
  }
  bool is_claimed() override { return DADiskIsClaimed(disk_); }
  void unclaim() override { DADiskUnclaim(disk_); }
  void eject(OperationCompletion* completion) override {
    DADiskEject(disk_, kDADiskEjectOptionDefault, operation_callback, completion);
  }

 private:
  DADiskRef disk_;
  ReleaseRequestAnswer release_answer_ = nullptr;
};

class AppleSession final : public ArbitrationSession {
 public:
  explicit AppleSession(DASessionRef session) : session_(session) {}
  ~AppleSession() override { CFRelease(session_); }
  AppleSession(const AppleSession&) = delete;
  AppleSession& operator=(const AppleSession&) = delete;

  void schedule_with_current_run_loop() override {
    run_loop_ = CFRunLoopGetCurrent();
    DASessionScheduleWithRunLoop(session_, run_loop_, kCFRunLoopDefaultMode);
  }
  void unschedule_from_run_loop() override {
    if (run_loop_ == nullptr) return;
    DASessionUnscheduleFromRunLoop(session_, run_loop_, kCFRunLoopDefaultMode);
    run_loop_ = nullptr;
  }
  std::unique_ptr<ArbitrationDisk> disk_from_bsd_name(
      const std::string& bsd_name) override {
    const DADiskRef disk =
        DADiskCreateFromBSDName(kCFAllocatorDefault, session_, bsd_name.c_str());
    if (disk == nullptr) return nullptr;
    return std::make_unique<AppleDisk>(disk);
  }

 private:
  DASessionRef session_;
  CFRunLoopRef run_loop_ = nullptr;
};

SystemResult<NodeStatus> node_status(const struct stat& status) {
  return NodeStatus{.is_device = S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode),
                    .device_number = static_cast<std::uint32_t>(status.st_rdev)};
}

class AppleRawDescriptor final : public RawDescriptor {
 public:
  explicit AppleRawDescriptor(int fd) : fd_(fd) {}
  ~AppleRawDescriptor() override { ::close(fd_); }
  AppleRawDescriptor(const AppleRawDescriptor&) = delete;
  AppleRawDescriptor& operator=(const AppleRawDescriptor&) = delete;

  SystemResult<NodeStatus> status() override {
    struct stat status {};
    if (::fstat(fd_, &status) != 0) return std::unexpected(errno);
    return node_status(status);
  }
  SystemResult<std::uint32_t> block_size() override {
    std::uint32_t size = 0;
    if (::ioctl(fd_, DKIOCGETBLOCKSIZE, &size) != 0) return std::unexpected(errno);
    return size;
  }
  SystemResult<std::uint64_t> block_count() override {
    std::uint64_t count = 0;
    if (::ioctl(fd_, DKIOCGETBLOCKCOUNT, &count) != 0) return std::unexpected(errno);
    return count;
  }
  SystemResult<void> synchronize_cache() override {
    if (::ioctl(fd_, DKIOCSYNCHRONIZECACHE) != 0) return std::unexpected(errno);
    return {};
  }
  SystemResult<std::size_t> read(std::span<std::uint8_t> buffer) override {
    const ssize_t count = ::read(fd_, buffer.data(), buffer.size());
    if (count < 0) return std::unexpected(errno);
    return static_cast<std::size_t>(count);
  }
  SystemResult<std::size_t> write(std::span<const std::uint8_t> data) override {
    const ssize_t count = ::write(fd_, data.data(), data.size());
    if (count < 0) return std::unexpected(errno);
    return static_cast<std::size_t>(count);
  }
  SystemResult<std::uint64_t> seek(std::int64_t offset,
                                   SeekFrom::Origin origin) override {
    const int whence = origin == SeekFrom::Origin::kStart     ? SEEK_SET
                       : origin == SeekFrom::Origin::kCurrent ? SEEK_CUR
                                                              : SEEK_END;
    const off_t position = ::lseek(fd_, static_cast<off_t>(offset), whence);
    if (position < 0) return std::unexpected(errno);
    return static_cast<std::uint64_t>(position);
  }

 private:
  int fd_;
};

class AppleMacSystem final : public MacSystem {
 public:
  std::unique_ptr<ArbitrationSession> create_session() override {
    const DASessionRef session = DASessionCreate(kCFAllocatorDefault);
    if (session == nullptr) return nullptr;
    return std::make_unique<AppleSession>(session);
  }
  void run_loop_once(std::chrono::duration<double> limit) override {
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, limit.count(), true);
  }
  std::chrono::steady_clock::time_point now() override {
    return std::chrono::steady_clock::now();
  }
  SystemResult<std::unique_ptr<RawDescriptor>> open_exclusive(const std::string& path,
                                                              bool read_only) override {
    const int access = read_only ? O_RDONLY : O_RDWR;
    const int fd = ::open(path.c_str(), access | O_EXCL | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::unexpected(errno);
    return std::make_unique<AppleRawDescriptor>(fd);
  }
  SystemResult<NodeStatus> link_status(const std::string& path) override {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return std::unexpected(errno);
    return node_status(status);
  }
};

}  // namespace

std::shared_ptr<MacSystem> apple_mac_system() {
  return std::make_shared<AppleMacSystem>();
}

}  // namespace ravik::macos
