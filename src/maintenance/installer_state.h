// What an installer lease leaves on disk and sends on its socket: where its
// files are, the lease-state file, the careful removal of both files, and the
// guardian's readiness, request and response records.
#ifndef RAVIK_MAINTENANCE_INSTALLER_STATE_H_
#define RAVIK_MAINTENANCE_INSTALLER_STATE_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "error/helper_error.h"
#include "json/strict_json.h"
#include "maintenance/maintenance_lock.h"

namespace ravik {

// Where an installer lease is published: the lease-state file inside the
// protected maintenance directory and the guardian's socket beside it, and
// the comparison that decides whether a path a caller gave names the lease
// state. Pure functions; thread-safe.

inline constexpr std::string_view kInstallerLeaseStateFileName =
    "installer-lease-v1.json";
inline constexpr std::string_view kInstallerSocketFileName = "installer-lease-v1.sock";

// The protected directory of `location` joined with the lease-state name.
std::string installer_lease_state_path(const MaintenanceLocation& location);

// The directory of `lease_state_path` joined with the socket name; nothing
// when the path has no directory part.
std::optional<std::string> installer_socket_path(std::string_view lease_state_path);

// The directory of `path`, without its final component; nothing when the
// path has no directory part.
std::optional<std::string> parent_directory(std::string_view path);

// True when `given` names `canonical` component by component: repeated
// separators, "." components after the first and a trailing "/" do not
// matter; ".." is not resolved and letter case matters.
bool names_same_path(std::string_view given, std::string_view canonical);

// InstallerLeaseState: the root-only file that publishes an installer lease
// (where the guardian's socket is, which lease it holds, which owner it
// serves, and the token that authenticates requests to it), with its strict
// reading, validation and durable, exclusive creation.
//
// Only a guardian holding the exclusive maintenance lock creates the file;
// readers hold no lock and rely on the file checks and the guardian's
// answers. Functions are thread-safe (no shared state).

inline constexpr std::uint16_t kInstallerStateVersion = 1;
inline constexpr std::size_t kMaxInstallerStateBytes = 16384;

struct InstallerLeaseState {
  std::string protocol;
  std::uint16_t version = 0;
  std::string token;
  std::string socket_path;
  std::string lease_id;
  std::int32_t owner_pid = 0;
  std::int32_t guardian_pid = 0;
};

// Which file a path named when it was created or checked.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// Exactly 64 characters, each 0-9 or a-f: the form of lease IDs and tokens.
bool is_lower_hex_id(std::string_view text);

// The compact object with the keys in file order, without the line feed,
// or the encoder's error text.
std::expected<std::string, std::string> encode_installer_state(
    const InstallerLeaseState& state);

// One object with exactly the seven keys, in any order; NUL bytes anywhere
// and anything but white space after the object are refused.
DecodeResult<InstallerLeaseState> decode_installer_state(std::string_view text);

// What a reader makes of a file that is plainly the helper's own (root-owned,
// regular, mode 0600, one link) but empty, not JSON at all, or JSON that is
// not a valid record of this version: what a power cut, a guardian killed by
// an older helper, or a newer helper's guardian leaves behind. Only begin may
// call it stale, since the guardian it starts replaces it once it holds the
// lock, which proves that no guardian is serving the file.
enum class UnfinishedState { kRefused, kStale };

// The state published at `path`, or nothing when no file is there (or, with
// kStale, when the file is an unfinished or invalid one). The file must be a root-owned
// regular file of mode 0600 with one link and 1 to 16384 bytes, and its
// content must decode and validate. Fails with "MAINTENANCE_UNAVAILABLE" or
// "MAINTENANCE_PROTOCOL".
Result<std::optional<InstallerLeaseState>> load_installer_state(
    const std::string& path, UnfinishedState unfinished = UnfinishedState::kRefused);

// Every field as a guardian writes it for `path`. Fails with
// "MAINTENANCE_PROTOCOL".
Result<void> validate_installer_state(const InstallerLeaseState& state,
                                      const std::string& path);

// Where the state is written before it is renamed to `path`.
std::string installer_state_temporary_path(const std::string& path);

// Publishes the state at `path` whole or not at all: writes it (and a line
// feed) to the temporary path, mode 0600 whatever the umask, makes it
// durable, renames it to `path` unless a file is already there (which is an
// error and left untouched), and makes the directory durable. The temporary
// file is removed on every failure before the rename; nothing is left at
// `path` unless the call succeeds. Returns the new file's identity, so that
// it is later removed only if the path still names it. Fails with
// "MAINTENANCE_UNAVAILABLE".
Result<FileIdentity> create_installer_state(const std::string& path,
                                            const InstallerLeaseState& state);

// Makes the directory holding `path` durable, so that a creation or removal
// in it survives a crash. Fails with "MAINTENANCE_PROTOCOL" when the path has
// no directory part, else "MAINTENANCE_UNAVAILABLE".
Result<void> sync_parent(const std::string& path);

// Removing the guardian's files (the lease-state file and the socket) only
// when they are exactly what the guardian may remove: stale files of an
// earlier guardian that are plainly the helper's own, or the very files this
// guardian created. Anything else is refused, never repaired. Each removal
// is made durable in its directory. Thread-safe (no shared state).

// Nothing at `path` is fine. Otherwise removes it if it is root-owned with
// one link and a regular file or, when `socket_expected`, a socket. Fails
// with "MAINTENANCE_UNAVAILABLE", "Refused to replace unsafe installer
// maintenance state." for anything else (a directory, a symbolic link,
// another owner, more links).
Result<void> remove_stale_installer_path(const std::string& path, bool socket_expected);

// Removes `path` only while it still names `identity`, root-owned with one
// link, of the expected type. Fails with "MAINTENANCE_UNAVAILABLE" (a
// missing path included).
Result<void> remove_installer_path_exact(const std::string& path, FileIdentity identity,
                                         bool socket_expected);

// The lines exchanged with an installer guardian: its readiness record (on
// the pipe to the begin process) and the request and response of its socket.
// Each is one compact JSON object with its keys in a fixed order; each is
// read strictly (every key required, no other key). Pure functions;
// thread-safe.

inline constexpr std::size_t kMaxReadinessMessageBytes = 4096;

// Written once by the guardian: success ("ok" true, empty code and message,
// the lease ID) or the error that stopped it (empty lease ID).
struct GuardianReady {
  bool ok = false;
  std::string code;
  std::string message;
  std::string lease_id;
  std::int32_t owner_pid = 0;
  std::int32_t guardian_pid = 0;
};

struct GuardianRequest {
  std::string protocol;
  std::string command;  // "status" or "end"
  std::string token;
  std::string lease_id;
  std::string request_id;
};

struct GuardianResponse {
  std::string protocol;
  std::string status;  // "held" or "released"
  std::string request_id;
  std::string lease_id;
  std::int32_t owner_pid = 0;
  std::int32_t guardian_pid = 0;
};

// Each encoder gives the object without the line feed, or the encoder's
// error text.
std::expected<std::string, std::string> encode_guardian_ready(const GuardianReady& ready);
std::expected<std::string, std::string> encode_guardian_request(
    const GuardianRequest& request);
std::expected<std::string, std::string> encode_guardian_response(
    const GuardianResponse& response);

DecodeResult<GuardianReady> decode_guardian_ready(std::string_view line);
DecodeResult<GuardianRequest> decode_guardian_request(std::string_view line);
DecodeResult<GuardianResponse> decode_guardian_response(std::string_view line);

// A failure message as the readiness record carries it: NUL, line feed and
// carriage return become spaces, and whole characters are kept while the
// result stays within 4096 bytes.
std::string readiness_message(std::string_view message);

}  // namespace ravik

#endif  // RAVIK_MAINTENANCE_INSTALLER_STATE_H_
