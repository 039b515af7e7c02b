// What a job is asked to do: the command, the image, the disks and how to
// treat them. The command line fills it from its arguments
// (parse_client_command_line); another front end fills it itself.
//
// Plain data; thread-safe to read.
#ifndef RAVIK_JOB_JOB_OPTIONS_H_
#define RAVIK_JOB_JOB_OPTIONS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ravik::job {

enum class EndCommand { kRelease, kEject, kClose };

struct BootFile {
  std::string name;        // file name in the boot partition's root
  std::string local_path;  // where its new content comes from
};

// How an unprivileged user's helper gets root for a block device.
enum class Elevation {
  kAuto,    // sudo with a terminal to ask on; pkexec in a graphical session without one
  kSudo,    // sudo, asked once before the sessions start
  kPkexec,  // pkexec (polkit), asked by the session's authentication agent
};

enum class ClientCommand { kWrite, kVerify, kRecover, kList, kBackup, kCheck };

struct JobOptions {
  ClientCommand command = ClientCommand::kWrite;
  std::string image_path;  // write and verify; the file a backup makes
  // The image's published digest (64 lower-case hex digits), which spares
  // the pass that would hash it before the write.
  std::optional<std::string> sha256;
  std::string target_path;
  // write: further disks given the same image at the same time, one helper
  // session each.
  std::vector<std::string> more_target_paths;
  std::optional<std::string> helper_path;  // absent: chosen from the target
  // Not used as root, nor for a regular file standing in for a disk.
  Elevation elevation = Elevation::kAuto;
  // Absent: the image's partition-table area (see default_protected_prefix).
  std::optional<std::uint64_t> protected_prefix_bytes;
  std::string tail_policy = "exact";
  bool verify = true;
  // write: a full pass reading the disk back even when the helper's own
  // readback of a held-back prefix already proved it.
  bool verify_again = false;
  std::vector<BootFile> boot_files;
  // A boot file printed to standard output after the writes.
  std::optional<std::string> read_boot_file;
  std::string volume_label;  // recover only
  EndCommand end = EndCommand::kRelease;
  bool json = false;
  bool quiet = false;  // no progress; only failures and the final result
  // Abort the image stream once this many image bytes were sent.
  std::optional<std::uint64_t> cancel_after_bytes;
  // write: a disk whose session shows no progress for this long is given up.
  std::uint64_t stall_limit_seconds = 60;
  // write, recover: no question asked on a terminal before the disk is
  // overwritten.
  bool assume_yes = false;
  // backup: an existing image or checksum file may be replaced.
  bool overwrite = false;
  // write: the disks' capacity probed first; a disk that is not all real
  // is not written.
  bool check_capacity = false;
  bool list_all = false;  // list: also the disks not offered, with the reason
  // list: judge loop devices as the testing helper does, as removable disks.
  bool list_loop_devices = false;
};

std::string_view end_command_type(EndCommand end);

}  // namespace ravik::job

#endif  // RAVIK_JOB_JOB_OPTIONS_H_
