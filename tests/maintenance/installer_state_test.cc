// The installer lease's own pieces, in process: the owner identity, the
// shedding of inherited descriptors, the lease-state file as readers meet
// it, the path comparison and the readiness message bound.
#include "maintenance/installer_state.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/sched.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "io/system_descriptors.h"
#include "maintenance/installer_platform.h"
#include "maintenance/lock_test_support.h"
#include "support/temp_dir.h"

namespace ravik {
namespace {

using testing::kNobodyGid;
using testing::kNobodyUid;

TEST(OwnerBindingTest, StatFieldsAreCountedFromTheLastParenthesis) {
  // Field 22 is the start time; the name (field 2) holds ") (" and spaces.
  std::string line = "4242 (evil) (name 1 2) S";
  for (int field = 4; field <= 21; ++field) line += " " + std::to_string(field);
  line += " 987654 23 24\n";
  EXPECT_EQ(proc_stat_field(line, 22), 987654u);
  EXPECT_EQ(proc_stat_field(line, 9), 9u);
  EXPECT_EQ(proc_stat_field("4242 (no closing S 1 2", 4), std::nullopt);
  EXPECT_EQ(proc_stat_field("4242 (short) S 1 2 3\n", 22), std::nullopt);
}

pid_t fork_sleeper() {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::pause();
    ::_exit(0);
  }
  return pid;
}

// A sleeper that gets exactly `pid` (clone3's set_tid, for root), so that a
// PID can be reused on purpose however busy the machine is; -1 with errno.
pid_t fork_sleeper_as(pid_t pid) {
  pid_t wanted = pid;
  clone_args args{};
  args.exit_signal = SIGCHLD;
  args.set_tid = reinterpret_cast<std::uintptr_t>(&wanted);
  args.set_tid_size = 1;
  const long child = ::syscall(SYS_clone3, &args, sizeof args);
  if (child == 0) {
    ::pause();
    ::_exit(0);
  }
  return static_cast<pid_t>(child);
}

void kill_and_reap(pid_t pid) {
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

TEST(OwnerBindingTest, InitIsNoOwnerForItNeverExits) {
  const auto owner = OwnerProcess::open(1);
  ASSERT_FALSE(owner);
  EXPECT_EQ(owner.error().code(), codes::kMaintenanceProtocol);
  EXPECT_EQ(owner.error().message(),
            "Installer owner PID must identify a live non-system process.");
}

TEST(OwnerBindingTest, TheOwnerIsTheProcessNotItsNumber) {
  const pid_t first = fork_sleeper();
  ASSERT_GT(first, 0);
  const auto owner = OwnerProcess::open(first);
  ASSERT_TRUE(owner) << owner.error();
  EXPECT_EQ(owner->binding().uid, ::getuid());
  EXPECT_EQ(owner->exited(), false);
  kill_and_reap(first);
  EXPECT_EQ(OwnerProcess::open(first).error().message(),
            "Could not identify the exact installer owner process.");
  // Reused at once, most likely within the same clock tick, where start
  // times cannot tell the two apart; the held process still can.
  const pid_t second = fork_sleeper_as(first);
  ASSERT_EQ(second, first) << "could not make the kernel reuse PID " << first << ": "
                           << std::strerror(errno);
  const auto reused = OwnerProcess::open(second);
  kill_and_reap(second);
  ASSERT_TRUE(reused) << reused.error();
  EXPECT_EQ(reused->binding().pid, owner->binding().pid);
  EXPECT_EQ(owner->exited(), true);
}

TEST(OwnerBindingTest, ClosingInheritedDescriptorsSurvivesARefusedCloseRange) {
  const pid_t child = ::fork();
  if (child == 0) {
    // close_range answers ENOSYS, as on kernels before 5.9 or in a sandbox.
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_close_range, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{.len = 4, .filter = filter};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
      ::_exit(2);
    }
    const int kept = ::open("/dev/null", O_RDONLY);
    for (int i = 0; i < 3; ++i) (void)::open("/dev/null", O_RDONLY);
    const int kept_list[] = {kept};
    close_descriptors_above_standard_error(kept_list);
    const bool only_kept =
        testing::count_open_descriptors() == 4 && ::fcntl(kept, F_GETFD) >= 0;
    ::_exit(only_kept ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

constexpr std::string_view kToken =
    "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
constexpr std::string_view kLease =
    "ffeeddccbbaa99887766554433221100ffeeddccbbaa99887766554433221100";

class InstallerStateFileTest : public ::testing::Test {
 protected:
  std::string path() const { return dir_.file(kInstallerLeaseStateFileName); }

  std::string state_text(std::string_view token = kToken, int version = 1,
                         std::string_view extra = "", int owner_pid = 4242) const {
    return R"({"protocol":"ravik-system-maintenance-v1","version":)" +
           std::to_string(version) + R"(,"token":")" + std::string(token) +
           R"(","socketPath":")" + *installer_socket_path(path()) + R"(","leaseId":")" +
           std::string(kLease) + R"(","ownerPid":)" + std::to_string(owner_pid) +
           R"(,"guardianPid":4343)" + std::string(extra) + "}\n";
  }

  std::string write(std::string_view contents, mode_t mode = 0600) const {
    ::unlink(path().c_str());
    return dir_.write_file(kInstallerLeaseStateFileName, contents, mode);
  }

  std::string load_error() const {
    const auto loaded = load_installer_state(path());
    return loaded ? "loaded" : loaded.error().message();
  }

  harness::TempDir dir_;
};

TEST_F(InstallerStateFileTest, MissingIsNoLeaseAndAValidFileLoads) {
  const auto none = load_installer_state(path());
  ASSERT_TRUE(none) << none.error();
  EXPECT_FALSE(none->has_value());

  write(state_text());
  const auto loaded = load_installer_state(path());
  ASSERT_TRUE(loaded) << loaded.error();
  ASSERT_TRUE(loaded->has_value());
  EXPECT_EQ((*loaded)->token, kToken);
  EXPECT_EQ((*loaded)->owner_pid, 4242);
  EXPECT_EQ((*loaded)->guardian_pid, 4343);
}

TEST_F(InstallerStateFileTest, UnsafeFilesAreRefused) {
  const std::string unsafe =
      "Installer lease state ownership, type, links, size, or permissions are unsafe.";
  write(state_text(), 0644);
  EXPECT_EQ(load_error(), unsafe);
  write(state_text());
  ASSERT_EQ(::chown(path().c_str(), kNobodyUid, kNobodyGid), 0);
  EXPECT_EQ(load_error(), unsafe);
  write(state_text());
  ASSERT_EQ(::link(path().c_str(), dir_.file("second").c_str()), 0);
  EXPECT_EQ(load_error(), unsafe);
  ::unlink(dir_.file("second").c_str());
  write("");
  EXPECT_EQ(load_error(), unsafe);
  // What a power cut leaves: only begin, whose guardian replaces it under
  // the lock, may take it for no lease; anything else unsafe stays refused.
  const auto stale = [&] {
    const auto loaded = load_installer_state(path(), UnfinishedState::kStale);
    return !loaded ? loaded.error().message() : loaded->has_value() ? "loaded" : "none";
  };
  EXPECT_EQ(stale(), "none");
  write(state_text().substr(0, 40));
  EXPECT_EQ(stale(), "none");
  // A record that parses but does not validate is as stale to begin.
  write(state_text(kToken, 1, R"(,"extra":1)"));
  EXPECT_EQ(stale(), "none");
  EXPECT_TRUE(load_error().starts_with("Installer lease state is invalid: "))
      << load_error();
  std::string upper(kToken);
  upper[0] = 'A';
  write(state_text(upper));
  EXPECT_EQ(stale(), "none");
  write(state_text(kToken, 1, "", 1));
  EXPECT_EQ(stale(), "none");
  EXPECT_EQ(load_error(), "Installer lease state failed validation.");
  write("", 0644);
  EXPECT_EQ(stale(), unsafe);
  write(std::string(16385, ' '));
  EXPECT_EQ(load_error(), unsafe);
  ::unlink(path().c_str());
  ASSERT_EQ(::symlink(dir_.write_file("real", state_text()).c_str(), path().c_str()), 0);
  EXPECT_TRUE(load_error().starts_with("Could not open installer lease state: "))
      << load_error();
}

TEST_F(InstallerStateFileTest, InvalidContentIsRefused) {
  const std::string failed = "Installer lease state failed validation.";
  std::string upper(kToken);
  upper[10] = 'A';
  write(state_text(upper));
  EXPECT_EQ(load_error(), failed);
  write(state_text(kToken, 2));
  EXPECT_EQ(load_error(), failed);
  write(state_text(kToken, 1, "", 1));
  EXPECT_EQ(load_error(), failed);
  std::string elsewhere = state_text();
  elsewhere.replace(elsewhere.find("installer-lease-v1.sock"), 4, "../i");
  write(elsewhere);
  EXPECT_EQ(load_error(), failed);

  const std::string invalid = "Installer lease state is invalid: ";
  for (const std::string& text :
       {state_text(kToken, 1, R"(,"extra":1)"), state_text() + "x",
        state_text() + std::string(1, '\0'), std::string(R"({"protocol":"x"})")}) {
    write(text);
    EXPECT_TRUE(load_error().starts_with(invalid)) << load_error();
  }
}

TEST_F(InstallerStateFileTest, CreationIsExclusiveAndIgnoresTheUmask) {
  InstallerLeaseState state{.protocol = "ravik-system-maintenance-v1",
                            .version = 1,
                            .token = std::string(kToken),
                            .socket_path = *installer_socket_path(path()),
                            .lease_id = std::string(kLease),
                            .owner_pid = 4242,
                            .guardian_pid = 4343};
  const mode_t old_mask = ::umask(0);
  const auto created = create_installer_state(path(), state);
  ::umask(old_mask);
  ASSERT_TRUE(created) << created.error();
  EXPECT_EQ(testing::mode_of(path()), 0600u);
  std::ifstream file(path());
  const std::string text((std::istreambuf_iterator<char>(file)), {});
  EXPECT_EQ(text, state_text());

  const auto again = create_installer_state(path(), state);
  ASSERT_FALSE(again);
  EXPECT_TRUE(
      again.error().message().starts_with("Could not create installer lease state: "));
  EXPECT_EQ(testing::mode_of(installer_state_temporary_path(path())), std::nullopt);
}

TEST(InstallerPathsTest, ComparedComponentByComponent) {
  const std::string canonical = "/var/lib/ravik/installer-lease-v1.json";
  EXPECT_TRUE(names_same_path("/var/lib/ravik//installer-lease-v1.json", canonical));
  EXPECT_TRUE(names_same_path("/var/./lib/ravik/installer-lease-v1.json/", canonical));
  EXPECT_FALSE(
      names_same_path("/var/lib/ravik/../ravik/installer-lease-v1.json", canonical));
  EXPECT_FALSE(names_same_path("/var/lib/Ravik/installer-lease-v1.json", canonical));
  EXPECT_FALSE(names_same_path("var/lib/ravik/installer-lease-v1.json", canonical));
  EXPECT_EQ(installer_socket_path(canonical), "/var/lib/ravik/installer-lease-v1.sock");
  EXPECT_EQ(installer_socket_path("installer-lease-v1.json"), std::nullopt);
}

TEST(GuardianRecordsTest, ReadinessMessageIsOneBoundedLine) {
  const std::string message("first\r\nsecond\0third", 19);
  EXPECT_EQ(readiness_message(message), "first  second third");
  // 4095 bytes, then a two-byte character that would end beyond 4096.
  const std::string long_message = std::string(4095, 'a') + "\xC3\xA9" + "tail";
  EXPECT_EQ(readiness_message(long_message), std::string(4095, 'a'));
}

}  // namespace
}  // namespace ravik
