#include <errno.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/capability.h>
#include <sys/prctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <type_traits>

#include "confinement/confinement.h"

namespace ravik {
namespace {

// What every mode refuses. Process creation (clone, clone3) and the socket
// calls depend on the mode and are ruled separately.
constexpr std::string_view kRefusedSystemCalls[] = {
    // Running other programs and creating processes the old ways.
    "execve", "execveat", "fork", "vfork",
    // Reaching into other processes.
    "ptrace", "process_vm_readv", "process_vm_writev", "process_madvise", "pidfd_getfd",
    "kcmp",
    // Mounting, old and new interface, and changing the root.
    "mount", "fsopen", "fsconfig", "fsmount", "fspick", "move_mount", "open_tree",
    "mount_setattr", "pivot_root", "chroot",
    // Namespaces.
    "unshare", "setns",
    // The kernel itself.
    "init_module", "finit_module", "delete_module", "kexec_load", "kexec_file_load",
    "reboot", "bpf", "perf_event_open", "syslog", "iopl", "ioperm", "lookup_dcookie",
    "_sysctl", "uselib", "ustat", "sysfs", "nfsservctl",
    // Keys.
    "keyctl", "add_key", "request_key",
    // Kernel interfaces that run work outside this filter or stall the kernel
    // on user memory.
    "userfaultfd", "io_uring_setup", "io_uring_enter", "io_uring_register",
    // Identity and privilege.
    "setuid", "setgid", "setreuid", "setregid", "setresuid", "setresgid", "setfsuid",
    "setfsgid", "setgroups", "personality",
    // System-wide state.
    "settimeofday", "clock_settime", "clock_adjtime", "adjtimex", "sethostname",
    "setdomainname", "acct", "swapon", "swapoff", "quotactl", "quotactl_fd", "vhangup",
    // Files by handle (escapes any directory check), device nodes, file-system
    // wide watches.
    "open_by_handle_at", "name_to_handle_at", "mknod", "mknodat", "fanotify_init",
    // Owners and extended attributes (file capabilities, security labels):
    // no mode gives a file away or marks one.
    "chown", "fchown", "lchown", "fchownat", "setxattr", "lsetxattr", "fsetxattr",
    "removexattr", "lremovexattr", "fremovexattr"};

// What a device session no longer does once its maintenance lock is held: it
// creates, truncates, renames, links or removes no file, and changes no
// file's mode or times. (Unmounting rules out file-system layers until the
// disk is held; this filter stands in for them and stays.) Opening existing files stays
// possible (the disk, its sysfs controls); which ones, the file-system layers decide.
constexpr std::string_view kFileChangeSystemCalls[] = {
    "creat",   "rename",    "renameat",  "renameat2", "link",   "linkat",
    "symlink", "symlinkat", "unlink",    "unlinkat",  "mkdir",  "mkdirat",
    "rmdir",   "truncate",  "ftruncate", "chmod",     "fchmod", "fchmodat",
    "utime",   "utimes",    "futimesat", "utimensat"};

constexpr std::array<std::uint64_t, 7> kNamespaceCloneFlags = {
    CLONE_NEWNS,   CLONE_NEWCGROUP, CLONE_NEWUTS, CLONE_NEWIPC,
    CLONE_NEWUSER, CLONE_NEWPID,    CLONE_NEWNET};

// CAP_SYS_ADMIN: umount2 of the disk's file systems. Everything else the
// session does to a disk needs none: the exclusive open, its ioctls, fsync,
// LOOP_CLR_FD, the sysfs delete and unbind writes of root-owned attributes,
// and SG_IO with PREVENT ALLOW MEDIUM REMOVAL and START STOP UNIT, which the
// kernel's SCSI command filter grants to any opener for writing (the eject
// goes through the held read-write descriptor). CAP_SYS_RAWIO would lift that
// filter for every SCSI command, firmware updates included.
constexpr std::array<cap_value_t, 1> kDeviceSessionCapabilities = {CAP_SYS_ADMIN};
// Opening a file that belongs to someone else, until it is open; then
// CAP_SETPCAP drops these from the bounding set too.
constexpr std::array<cap_value_t, 3> kCallerLockFileCapabilities = {
    CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_SETPCAP};

// Set once confine_process ran, so that later stages know whether to act.
bool process_confined = false;

struct ReleaseFilter {
  void operator()(void* context) const { seccomp_release(context); }
};
using FilterContext = std::unique_ptr<void, ReleaseFilter>;

struct FreeCapabilities {
  void operator()(void* state) const { cap_free(state); }
};
using CapabilityState = std::unique_ptr<std::remove_pointer_t<cap_t>, FreeCapabilities>;

constexpr std::uint32_t refuse() { return SCMP_ACT_ERRNO(EPERM); }

FilterContext new_filter() {
  // Foreign system-call conventions (32-bit and x32 calls on a 64-bit
  // kernel) are refused as a whole: no mode uses them.
  FilterContext context(seccomp_init(SCMP_ACT_ALLOW));
  if (!context) return context;
  if (seccomp_attr_set(context.get(), SCMP_FLTATR_ACT_BADARCH, refuse()) != 0 ||
      seccomp_attr_set(context.get(), SCMP_FLTATR_CTL_TSYNC, 1) != 0) {
    return nullptr;
  }
  return context;
}

// Rules name system calls other architectures lack (fork, iopl, _sysctl on
// arm64, for example), which resolve to no number or a negative placeholder:
// those are skipped. Any other refusal abandons the filter.
bool add_rule(void* context, std::uint32_t action, std::string_view name,
              std::span<const scmp_arg_cmp> conditions = {}) {
  const int number = seccomp_syscall_resolve_name(std::string(name).c_str());
  if (number < 0) return true;
  return seccomp_rule_add_array(context, action, number,
                                static_cast<unsigned>(conditions.size()),
                                conditions.data()) == 0;
}

// clone without CLONE_THREAD makes a process; clone3 hides its flags in
// memory the filter cannot read, so it is answered "not implemented", which
// makes the C library fall back to clone.
bool refuse_process_creation(void* context) {
  const std::array<scmp_arg_cmp, 1> not_thread = {
      SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0)};
  return add_rule(context, refuse(), "clone", not_thread) &&
         add_rule(context, SCMP_ACT_ERRNO(ENOSYS), "clone3");
}

bool add_mode_rules(void* context, ConfinedMode mode) {
  for (const std::string_view name : kRefusedSystemCalls) {
    if (!add_rule(context, refuse(), name)) return false;
  }
  if (mode != ConfinedMode::kDeviceSession && !add_rule(context, refuse(), "umount2")) {
    return false;
  }
  // Every mode changes modes of the files it holds open only (the guardian
  // makes its socket with its final mode): by name any file could be reached.
  if (!(add_rule(context, refuse(), "chmod") && add_rule(context, refuse(), "fchmodat") &&
        add_rule(context, refuse(), "fchmodat2"))) {
    return false;
  }
  for (const std::uint64_t flag : kNamespaceCloneFlags) {
    const std::array<scmp_arg_cmp, 1> with_flag = {
        SCMP_A0(SCMP_CMP_MASKED_EQ, flag, flag)};
    if (!add_rule(context, refuse(), "clone", with_flag)) return false;
  }
  if (mode == ConfinedMode::kInstallerBegin) {
    if (!add_rule(context, SCMP_ACT_ERRNO(ENOSYS), "clone3")) return false;
  } else if (!refuse_process_creation(context)) {
    return false;
  }
  if (mode == ConfinedMode::kInstallerBegin || mode == ConfinedMode::kInstallerClient) {
    // The guardian's socket and its clients: Unix-domain only.
    const std::array<scmp_arg_cmp, 1> not_local = {SCMP_A0(SCMP_CMP_NE, AF_UNIX)};
    return add_rule(context, refuse(), "socket", not_local) &&
           add_rule(context, refuse(), "socketpair", not_local);
  }
  return add_rule(context, refuse(), "socket") &&
         add_rule(context, refuse(), "socketpair");
}

bool install_filter(ConfinedMode mode) {
  if (!system_call_filter_supported()) return false;
  FilterContext context = new_filter();
  if (!context || !add_mode_rules(context.get(), mode)) return false;
  return seccomp_load(context.get()) == 0;
}

bool is_kept(std::span<const cap_value_t> kept, cap_value_t capability) {
  return std::ranges::find(kept, capability) != kept.end();
}

// Drops the bounding set first, as that needs CAP_SETPCAP, which goes with
// the rest. A process that never had the capabilities (not started as root)
// cannot drop its bounding set; with no new privileges it cannot gain from it
// either, so that refusal is not counted.
bool reduce_capabilities(std::span<const cap_value_t> kept) {
  CapabilityState current(cap_get_proc());
  if (!current) return false;
  cap_flag_value_t may_drop_bound = CAP_CLEAR;
  (void)cap_get_flag(current.get(), CAP_SETPCAP, CAP_EFFECTIVE, &may_drop_bound);
  bool complete = true;
  if (may_drop_bound == CAP_SET) {
    for (cap_value_t capability = 0;
         capability < static_cast<cap_value_t>(cap_max_bits()); ++capability) {
      if (!is_kept(kept, capability) && cap_get_bound(capability) == 1 &&
          cap_drop_bound(capability) != 0) {
        complete = false;
      }
    }
  }
  // Keep only those still permitted: raising one would fail the whole change.
  CapabilityState wanted(cap_init());
  if (!wanted) return false;
  for (const cap_value_t capability : kept) {
    cap_flag_value_t permitted = CAP_CLEAR;
    if (cap_get_flag(current.get(), capability, CAP_PERMITTED, &permitted) != 0 ||
        permitted != CAP_SET) {
      continue;
    }
    for (const cap_flag_t set : {CAP_EFFECTIVE, CAP_PERMITTED}) {
      if (cap_set_flag(wanted.get(), set, 1, &capability, CAP_SET) != 0) complete = false;
    }
  }
  if (cap_set_proc(wanted.get()) != 0) return false;
  // Kernels before 4.3 have no ambient set, and nothing to clear in it.
  (void)cap_reset_ambient();
  return complete;
}

std::span<const cap_value_t> capabilities_of(ConfinedMode mode) {
  switch (mode) {
    case ConfinedMode::kDeviceSession:
      return kDeviceSessionCapabilities;
    case ConfinedMode::kCallerLockFile:
      return kCallerLockFileCapabilities;
    case ConfinedMode::kInstallerBegin:
    case ConfinedMode::kInstallerClient:
    case ConfinedMode::kLocalFiles:
      break;
  }
  return {};
}

}  // namespace

bool forbid_new_privileges() { return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0; }

ConfinementOutcome confine_process(ConfinedMode mode) {
  process_confined = true;
  ConfinementOutcome outcome;
  outcome.no_new_privileges = forbid_new_privileges();
  outcome.capabilities_reduced = reduce_capabilities(capabilities_of(mode));
  outcome.filter_installed = install_filter(mode);
  return outcome;
}

void drop_capabilities() {
  if (process_confined) (void)reduce_capabilities({});
}

void confine_forked_child() {
  if (!process_confined) return;
  (void)reduce_capabilities({});
  if (!system_call_filter_supported()) return;
  FilterContext context = new_filter();
  if (!context || !refuse_process_creation(context.get())) return;
  (void)seccomp_load(context.get());
}

void forbid_file_changes() {
  if (!process_confined || !system_call_filter_supported()) return;
  FilterContext context = new_filter();
  if (!context) return;
  // Refused as the file-system layers refuse, so that a caller sees a denied
  // file operation rather than a missing system call.
  const std::uint32_t deny = SCMP_ACT_ERRNO(EACCES);
  for (const std::string_view name : kFileChangeSystemCalls) {
    if (!add_rule(context.get(), deny, name)) return;
  }
  // Opens that create or truncate; openat2 keeps its flags in memory the
  // filter cannot read, and is answered "not implemented" so that callers
  // fall back to openat.
  for (const std::uint64_t flag :
       {std::uint64_t{O_CREAT}, std::uint64_t{O_TRUNC}, std::uint64_t{__O_TMPFILE}}) {
    const std::array<scmp_arg_cmp, 1> open_flag = {
        SCMP_A1(SCMP_CMP_MASKED_EQ, flag, flag)};
    const std::array<scmp_arg_cmp, 1> openat_flag = {
        SCMP_A2(SCMP_CMP_MASKED_EQ, flag, flag)};
    if (!add_rule(context.get(), deny, "open", open_flag) ||
        !add_rule(context.get(), deny, "openat", openat_flag)) {
      return;
    }
  }
  if (!add_rule(context.get(), SCMP_ACT_ERRNO(ENOSYS), "openat2")) return;
  (void)seccomp_load(context.get());
}

std::span<const std::string_view> refused_system_calls() { return kRefusedSystemCalls; }

bool system_call_filter_supported() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
  return false;
#else
  return true;
#endif
#else
  return true;
#endif
}

}  // namespace ravik
