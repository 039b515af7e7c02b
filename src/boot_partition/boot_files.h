// The boot session: partition 1 of the written (or recovered) medium opened
// for reading and replacing whole files in its FAT root directory. Only the
// partition's range is kept between commands (in the transaction); every
// file operation mounts the file system afresh and is done with it before it
// returns. Session thread only.
#ifndef RAVIK_BOOT_PARTITION_BOOT_FILES_H_
#define RAVIK_BOOT_PARTITION_BOOT_FILES_H_

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "error/helper_error.h"
#include "platform/held_device_io.h"
#include "transaction/held_transaction.h"
#include "transaction/partition_range.h"

namespace ravik {

// The largest boot file read or written through the protocol, and the length
// of its Base64 text.
inline constexpr std::uint64_t kMaxBootFileBytes = 1'048'576;
inline constexpr std::uint64_t kMaxBootFileBase64Chars = 1'398'104;

// Locates partition 1 and opens the boot session. PROTOCOL_ERROR before a
// completed image write or recovery, for another partition, or when open.
Result<void> open_boot(HeldTransaction& transaction, std::uint32_t partition_number);

// The content of root-directory file `name`, or nothing when it does not
// exist. At most kMaxBootFileBytes.
Result<std::optional<std::vector<std::uint8_t>>> boot_read_file(
    HeldTransaction& transaction, std::string_view name);

// Replaces (or creates) root-directory file `name` with `content` and makes
// it durable, by copy-on-write: the new content goes to free clusters, the
// directory entry is switched in one block write once the data and its FAT
// chain are durable (the commit point), and only then is the old chain
// freed. A failure, a pulled medium or a power cut leaves the old file or
// the new one, whole; at worst clusters that no entry refers to remain
// allocated (fsck.fat -a reclaims them). Refused before anything is written
// (BOOT_CHECK_FAILED) when the free space cannot hold the new content beside
// the old, when the old chain is cross-linked with any chain of the volume,
// or when a new name's directory entries cannot share one sector. The new
// content is read back once durable; a medium that did not keep it is
// refused before the commit point (BOOT_CHECK_FAILED). CANCELED when the cancel
// flag is seen before the commit point (the old file stays); a cancel after
// it does not undo the replacement.
Result<void> boot_write_file(HeldTransaction& transaction, std::string_view name,
                             std::span<const std::uint8_t> content);

// Ends the boot session (even when what follows fails), makes the data
// durable and re-proves identity. PROTOCOL_ERROR when it was not open.
Result<void> close_boot(HeldTransaction& transaction);

// The file operations on a partition range, without session rules or
// identity checks. Failures are BOOT_CHECK_FAILED.
Result<std::optional<std::vector<std::uint8_t>>> read_root_file(HeldDeviceIo& device,
                                                                PartitionRange range,
                                                                std::string_view name,
                                                                std::uint64_t limit);
// `cancel_flag`, when given, is honoured up to the commit point.
Result<void> write_root_file(HeldDeviceIo& device, PartitionRange range,
                             std::string_view name, std::span<const std::uint8_t> content,
                             const std::atomic<bool>* cancel_flag = nullptr);

// The bytes of a bootWriteFile's dataBase64: standard alphabet, padding
// required, no trailing bits, at most 1 MiB. PROTOCOL_ERROR otherwise.
Result<std::vector<std::uint8_t>> decode_boot_file_base64(std::string_view text);

}  // namespace ravik

#endif  // RAVIK_BOOT_PARTITION_BOOT_FILES_H_
