#include "boot_partition/boot_files.h"

#include <algorithm>
#include <string>

#include "boot_partition/bounded_partition.h"
#include "boot_partition/partition_locator.h"
#include "fatfs/file_system.h"
#include "protocol/base64.h"
#include "protocol/request_validation.h"
#include "transaction/cancellation.h"

namespace ravik {
namespace {

constexpr std::string_view kNotOpen = "The boot partition is not open.";

std::unexpected<HelperError> boot_failure(std::string_view context,
                                          const fatfs::Error& error) {
  return fail(HelperError::io_text(codes::kBootCheckFailed, context, error.text));
}

Result<PartitionRange> open_range(const HeldTransaction& transaction) {
  if (!transaction.boot_partition())
    return fail(codes::kProtocolError, std::string(kNotOpen));
  return *transaction.boot_partition();
}

// Discards the partition's cached changes when it goes out of scope, unless
// told the work is done. Declared after the file system, so it runs first
// and the file system's own clean-up finds nothing to write.
class DiscardUnlessDone {
 public:
  explicit DiscardUnlessDone(BoundedPartition& partition) : partition_(partition) {}
  DiscardUnlessDone(const DiscardUnlessDone&) = delete;
  DiscardUnlessDone& operator=(const DiscardUnlessDone&) = delete;
  ~DiscardUnlessDone() {
    if (!done_) partition_.discard();
  }
  void done() { done_ = true; }

 private:
  BoundedPartition& partition_;  // Not owned; must outlive this.
  bool done_ = false;
};

}  // namespace

Result<void> open_boot(HeldTransaction& transaction, std::uint32_t partition_number) {
  if (!transaction.media_layout_ready()) {
    return fail(codes::kProtocolError, "The target media layout is not ready.");
  }
  if (partition_number != 1) {
    return fail(codes::kProtocolError, "Only boot partition 1 is supported.");
  }
  if (transaction.boot_partition()) {
    return fail(codes::kProtocolError, "The boot partition is already open.");
  }
  HeldDeviceIo& device = transaction.device();
  RAVIK_RETURN_IF_ERROR(device.verify_current_identity());
  RAVIK_ASSIGN_OR_RETURN(const PartitionRange range,
                         locate_partition(device, device.capacity(), 1));
  RAVIK_RETURN_IF_ERROR(device.verify_current_identity());
  transaction.set_boot_partition(range);
  return {};
}

Result<std::optional<std::vector<std::uint8_t>>> boot_read_file(
    HeldTransaction& transaction, std::string_view name) {
  RAVIK_RETURN_IF_ERROR(validate_boot_file_name(name));
  RAVIK_ASSIGN_OR_RETURN(const PartitionRange range, open_range(transaction));
  RAVIK_RETURN_IF_ERROR(transaction.ensure_not_canceled());
  HeldDeviceIo& device = transaction.device();
  RAVIK_RETURN_IF_ERROR(device.verify_current_identity());
  RAVIK_ASSIGN_OR_RETURN(auto content,
                         read_root_file(device, range, name, kMaxBootFileBytes));
  RAVIK_RETURN_IF_ERROR(device.verify_current_identity());
  return content;
}

Result<void> boot_write_file(HeldTransaction& transaction, std::string_view name,
                             std::span<const std::uint8_t> content) {
  RAVIK_RETURN_IF_ERROR(validate_boot_file_name(name));
  if (content.size() > kMaxBootFileBytes) {
    return fail(codes::kProtocolError, "Boot file exceeds the 1 MiB protocol bound.");
  }
  RAVIK_RETURN_IF_ERROR(transaction.require_writable());
  RAVIK_ASSIGN_OR_RETURN(const PartitionRange range, open_range(transaction));
  RAVIK_RETURN_IF_ERROR(transaction.ensure_not_canceled());
  HeldDeviceIo& device = transaction.device();
  RAVIK_RETURN_IF_ERROR(device.verify_current_identity());
  // A cancel is honoured up to the replacement's commit point; once the new
  // content is the file's, the command succeeds (the flag stays set for
  // the commands that follow).
  RAVIK_RETURN_IF_ERROR(
      write_root_file(device, range, name, content, &transaction.cancel_flag()));
  RAVIK_RETURN_IF_ERROR(device.sync_all());
  return device.verify_current_identity();
}

Result<void> close_boot(HeldTransaction& transaction) {
  const bool was_open = transaction.boot_partition().has_value();
  transaction.set_boot_partition(std::nullopt);
  if (!was_open) return fail(codes::kProtocolError, std::string(kNotOpen));
  RAVIK_RETURN_IF_ERROR(transaction.device().sync_all());
  return transaction.device().verify_current_identity();
}

Result<std::optional<std::vector<std::uint8_t>>> read_root_file(HeldDeviceIo& device,
                                                                PartitionRange range,
                                                                std::string_view name,
                                                                std::uint64_t limit) {
  RAVIK_ASSIGN_OR_RETURN(BoundedPartition partition,
                         BoundedPartition::create(device, range));
  auto fs = fatfs::FileSystem::mount(partition);
  if (!fs) return boot_failure("Could not open the FAT boot partition", fs.error());
  // A read never changes the medium: whatever the library might write is
  // dropped with the partition's cache.
  const DiscardUnlessDone read_only(partition);
  auto file = fs->root_dir().open_file(name);
  if (!file) {
    if (file.error().kind == fatfs::ErrorKind::kNotFound) return std::nullopt;
    return boot_failure("Could not open the boot file", file.error());
  }
  auto size = file->seek(0, fatfs::SeekFrom::kEnd);
  if (!size) return boot_failure("Could not inspect the boot file", size.error());
  if (*size > limit) {
    return fail(codes::kBootCheckFailed,
                "The boot file exceeds the protocol read bound.");
  }
  if (auto rewound = file->seek(0, fatfs::SeekFrom::kStart); !rewound) {
    return boot_failure("Could not rewind the boot file", rewound.error());
  }
  std::vector<std::uint8_t> content(*size);
  if (auto read = file->read_exact(content); !read) {
    return boot_failure("Could not read the boot file", read.error());
  }
  return content;
}

Result<void> write_root_file(HeldDeviceIo& device, PartitionRange range,
                             std::string_view name, std::span<const std::uint8_t> content,
                             const std::atomic<bool>* cancel_flag) {
  RAVIK_ASSIGN_OR_RETURN(BoundedPartition partition,
                         BoundedPartition::create(device, range));
  auto fs = fatfs::FileSystem::mount(partition);
  if (!fs) return boot_failure("Could not open the FAT boot partition", fs.error());
  // The library orders the replacement with the partition's flushes (data,
  // chain, entry, release of the old chain). Whatever a failure leaves in
  // the cache is dropped, not written by the clean-up.
  DiscardUnlessDone guard(partition);
  fatfs::WriteControl control;
  if (cancel_flag != nullptr) {
    control.canceled = [cancel_flag] { return cancel_flag->load(); };
  }
  if (auto written = fs->root_dir().write_file(name, content, control); !written) {
    if (written.error().kind == fatfs::ErrorKind::kCanceled) {
      RAVIK_RETURN_IF_ERROR(check_cancel_flag(*cancel_flag));
    }
    return boot_failure("Could not write the boot file", written.error());
  }
  guard.done();
  if (auto unmounted = fs->unmount(); !unmounted) {
    return boot_failure("Could not flush FAT metadata", unmounted.error());
  }
  return {};
}

Result<std::vector<std::uint8_t>> decode_boot_file_base64(std::string_view text) {
  if (text.size() > kMaxBootFileBase64Chars) {
    return fail(codes::kProtocolError, "Encoded boot file exceeds the 1 MiB bound.");
  }
  auto bytes = base64_decode_canonical(text);
  if (!bytes) return fail(codes::kProtocolError, "Boot file is not canonical base64.");
  if (bytes->size() > kMaxBootFileBytes) {
    return fail(codes::kProtocolError,
                "Boot file exceeds bounds or is not canonical base64.");
  }
  return std::move(*bytes);
}

}  // namespace ravik
