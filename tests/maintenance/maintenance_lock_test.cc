#include "maintenance/maintenance_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "maintenance/lock_test_support.h"

namespace ravik {
namespace {

using testing::count_open_descriptors;
using testing::kNobodyGid;
using testing::kNobodyUid;
using testing::LockSandbox;
using testing::mode_of;
using testing::owner_of;

constexpr std::string_view kDirectoryUnsafe =
    "Maintenance directory ownership or permissions are unsafe.";
constexpr std::string_view kLockUnsafe =
    "Maintenance lock ownership, type, link count, or permissions are unsafe.";

Result<MaintenanceLock> acquire(const LockSandbox& sandbox, bool create_allowed,
                                MaintenanceMode mode = MaintenanceMode::kShared) {
  return MaintenanceLock::acquire_default(sandbox.location(), mode,
                                          MaintenanceTimeout::zero(), create_allowed);
}

std::set<std::string> names_in(const std::string& directory) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

bool is_lease_id(const std::string& text) {
  return text.size() == 64 &&
         text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// What each unsafe state must produce: the specific error when the caller
// may create (it is then the installer, who needs the detail), the canonical
// provisioning error when it may not.
struct UnsafeCase {
  const char* name;
  void (*damage)(const LockSandbox&);
  std::string_view message_prefix;  // with creation allowed
};

void expect_refused_both_ways(const UnsafeCase& unsafe) {
  SCOPED_TRACE(unsafe.name);
  for (const bool create_allowed : {false, true}) {
    LockSandbox sandbox;
    unsafe.damage(sandbox);
    const auto directory_mode = mode_of(sandbox.protected_directory());
    const auto lock_mode = mode_of(sandbox.lock_file());

    const auto result = acquire(sandbox, create_allowed);

    ASSERT_FALSE(result) << "create_allowed=" << create_allowed;
    if (create_allowed) {
      EXPECT_EQ(result.error().code(), codes::kMaintenanceUnavailable);
      EXPECT_TRUE(result.error().message().starts_with(unsafe.message_prefix))
          << result.error().message();
    } else {
      EXPECT_EQ(result.error().code(), codes::kMaintenanceProvisioningRequired);
      EXPECT_EQ(result.error().message(), kProvisioningRequiredMessage);
    }
    // Refused, never repaired.
    EXPECT_EQ(mode_of(sandbox.protected_directory()), directory_mode);
    EXPECT_EQ(mode_of(sandbox.lock_file()), lock_mode);
  }
}

TEST(MaintenanceLockTest, AcquireDefault_UnsafeDirectories_AreRefused) {
  const std::vector<UnsafeCase> cases = {
      {"protected directory 0775",
       [](const LockSandbox& s) {
         s.make_protected_directory(0775);
         s.make_lock_file(0666);
       },
       kDirectoryUnsafe},
      {"protected directory 0757",
       [](const LockSandbox& s) {
         s.make_protected_directory(0757);
         s.make_lock_file(0666);
       },
       kDirectoryUnsafe},
      {"protected directory 0700",
       [](const LockSandbox& s) {
         s.make_protected_directory(0700);
         s.make_lock_file(0666);
       },
       kDirectoryUnsafe},
      {"protected directory owned by nobody",
       [](const LockSandbox& s) {
         s.provision();
         ASSERT_EQ(::lchown(s.protected_directory().c_str(), kNobodyUid, kNobodyGid), 0);
       },
       kDirectoryUnsafe},
      {"base directory 0775",
       [](const LockSandbox& s) {
         s.provision();
         ASSERT_EQ(::chmod(s.base().c_str(), 0775), 0);
       },
       kDirectoryUnsafe},
      {"protected directory is a symbolic link",
       [](const LockSandbox& s) {
         const std::string real = s.base() + "/real";
         ASSERT_EQ(::mkdir(real.c_str(), 0755), 0);
         ASSERT_EQ(::symlink("real", s.protected_directory().c_str()), 0);
         const std::string lock = real + "/maintenance-v1.lock";
         const int fd = ::open(lock.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0666);
         ASSERT_GE(fd, 0);
         ASSERT_EQ(::fchmod(fd, 0666), 0);
         ::close(fd);
       },
       "Could not open maintenance lock directory: "},
  };
  for (const auto& unsafe : cases) expect_refused_both_ways(unsafe);
}

TEST(MaintenanceLockTest, AcquireDefault_UnsafeLockFiles_AreRefused) {
  const std::vector<UnsafeCase> cases = {
      {"lock file 0644",
       [](const LockSandbox& s) {
         s.make_protected_directory(0755);
         s.make_lock_file(0644);
       },
       kLockUnsafe},
      {"lock file 0667",
       [](const LockSandbox& s) {
         s.make_protected_directory(0755);
         s.make_lock_file(0667);
       },
       kLockUnsafe},
      {"lock file owned by nobody",
       [](const LockSandbox& s) {
         s.provision();
         ASSERT_EQ(::lchown(s.lock_file().c_str(), kNobodyUid, kNobodyGid), 0);
       },
       kLockUnsafe},
      {"lock file with a second hard link",
       [](const LockSandbox& s) {
         s.provision();
         const std::string other = s.protected_directory() + "/second-name";
         ASSERT_EQ(::link(s.lock_file().c_str(), other.c_str()), 0);
       },
       kLockUnsafe},
      {"lock file is a FIFO",
       [](const LockSandbox& s) {
         s.make_protected_directory(0755);
         ASSERT_EQ(::mkfifo(s.lock_file().c_str(), 0600), 0);
         ASSERT_EQ(::chmod(s.lock_file().c_str(), 0666), 0);
       },
       kLockUnsafe},
      {"lock file is a symbolic link",
       [](const LockSandbox& s) {
         s.make_protected_directory(0755);
         const std::string target = s.protected_directory() + "/target";
         const int fd = ::open(target.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0666);
         ASSERT_GE(fd, 0);
         ASSERT_EQ(::fchmod(fd, 0666), 0);
         ::close(fd);
         ASSERT_EQ(::symlink("target", s.lock_file().c_str()), 0);
       },
       "Could not open maintenance lock: "},
      {"lock file is a dangling symbolic link",
       [](const LockSandbox& s) {
         s.make_protected_directory(0755);
         ASSERT_EQ(::symlink("nowhere", s.lock_file().c_str()), 0);
       },
       "Could not open maintenance lock: "},
  };
  for (const auto& unsafe : cases) expect_refused_both_ways(unsafe);
}

TEST(MaintenanceLockTest, AcquireDefault_DanglingLockLink_IsNeverFollowedIntoCreation) {
  LockSandbox sandbox;
  sandbox.make_protected_directory(0755);
  const std::string target = sandbox.protected_directory() + "/nowhere";
  ASSERT_EQ(::symlink("nowhere", sandbox.lock_file().c_str()), 0);
  ASSERT_FALSE(acquire(sandbox, /*create_allowed=*/true));
  EXPECT_FALSE(mode_of(target).has_value());
}

TEST(MaintenanceLockTest, AcquireDefault_BaseDirectoryIsSymbolicLink_IsRefused) {
  LockSandbox real;
  real.provision();
  harness::TempDir holder;
  MaintenanceLocation location = real.location();
  location.base_directory = holder.file("base-link");
  ASSERT_EQ(::symlink(real.base().c_str(), location.base_directory.c_str()), 0);

  for (const bool create_allowed : {false, true}) {
    const auto result = MaintenanceLock::acquire_default(
        location, MaintenanceMode::kShared, MaintenanceTimeout::zero(), create_allowed);
    ASSERT_FALSE(result);
    if (create_allowed) {
      EXPECT_EQ(result.error().code(), codes::kMaintenanceUnavailable);
      EXPECT_TRUE(
          result.error().message().starts_with("Could not open maintenance directory: "))
          << result.error().message();
    } else {
      EXPECT_EQ(result.error().code(), codes::kMaintenanceProvisioningRequired);
      EXPECT_EQ(result.error().message(), kProvisioningRequiredMessage);
    }
  }
}

TEST(MaintenanceLockTest, AcquireDefault_MissingBaseDirectory_IsNeverCreated) {
  harness::TempDir holder;
  MaintenanceLocation location{.base_directory = holder.file("absent"),
                               .directory_name = "ravik"};
  const auto result = MaintenanceLock::acquire_default(location, MaintenanceMode::kShared,
                                                       MaintenanceTimeout::zero(), true);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code(), codes::kMaintenanceUnavailable);
  EXPECT_TRUE(
      result.error().message().starts_with("Could not open maintenance directory: "));
  EXPECT_FALSE(mode_of(location.base_directory).has_value());
}

TEST(MaintenanceLockTest, AcquireDefault_SetUserIdLockFile_IsAccepted) {
  LockSandbox sandbox;
  sandbox.make_protected_directory(0755);
  sandbox.make_lock_file(04666);
  const auto lock = acquire(sandbox, false);
  ASSERT_TRUE(lock) << lock.error().message();
  EXPECT_EQ(mode_of(sandbox.lock_file()), 04666u);
}

TEST(MaintenanceLockTest, AcquireDefault_ProvisionedState_GivesFreshLeaseIds) {
  LockSandbox sandbox;
  sandbox.provision();
  auto first = acquire(sandbox, false, MaintenanceMode::kExclusive);
  ASSERT_TRUE(first) << first.error().message();
  EXPECT_EQ(first->mode(), MaintenanceMode::kExclusive);
  EXPECT_EQ(first->lock_path(), sandbox.lock_file());
  EXPECT_TRUE(is_lease_id(first->lease_id())) << first->lease_id();
  const std::string first_id = first->lease_id();
  ASSERT_TRUE(std::move(*first).unlock());

  const auto second = acquire(sandbox, false, MaintenanceMode::kExclusive);
  ASSERT_TRUE(second) << second.error().message();
  EXPECT_TRUE(is_lease_id(second->lease_id()));
  EXPECT_NE(second->lease_id(), first_id);
}

TEST(MaintenanceLockTest, AcquireDefault_MissingState_CreatedByRootWhateverTheUmask) {
  LockSandbox sandbox;
  // The umask is process-wide, so it is changed only in a child.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::umask(077);
    const auto lock = acquire(sandbox, /*create_allowed=*/true);
    ::_exit(lock ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(mode_of(sandbox.protected_directory()), 0755u);
  EXPECT_EQ(mode_of(sandbox.lock_file()), 0666u);
  EXPECT_EQ(owner_of(sandbox.protected_directory()), 0u);
  EXPECT_EQ(owner_of(sandbox.lock_file()), 0u);

  // A second run finds everything in place and changes nothing.
  struct stat before {};
  ASSERT_EQ(::stat(sandbox.lock_file().c_str(), &before), 0);
  ASSERT_TRUE(acquire(sandbox, true));
  struct stat after {};
  ASSERT_EQ(::stat(sandbox.lock_file().c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode, before.st_mode);
}

// Several helpers started at once on a fresh machine (a multi-disk write)
// all provision at the same moment: none may see another's half-made file.
TEST(MaintenanceLockTest, AcquireDefault_ConcurrentFirstUses_AllSucceed) {
  constexpr int kRounds = 20;
  constexpr int kProcesses = 4;
  for (int round = 0; round < kRounds; ++round) {
    LockSandbox sandbox;
    int start[2];
    ASSERT_EQ(::pipe(start), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < kProcesses; ++i) {
      const pid_t child = ::fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        ::umask(077);
        ::close(start[1]);
        char byte;
        (void)!::read(start[0], &byte, 1);
        ::_exit(acquire(sandbox, true) ? 0 : 1);
      }
      children.push_back(child);
    }
    ::close(start[0]);
    ::close(start[1]);  // releases every child at once
    for (const pid_t child : children) {
      int status = 0;
      ASSERT_EQ(::waitpid(child, &status, 0), child);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
    }
    EXPECT_EQ(mode_of(sandbox.lock_file()), 0666u);
    // No private name is left behind by the creators that lost.
    EXPECT_EQ(names_in(sandbox.base()),
              std::set<std::string>{sandbox.location().directory_name});
    EXPECT_EQ(names_in(sandbox.protected_directory()),
              std::set<std::string>{sandbox.location().lock_file_name});
  }
}

TEST(MaintenanceLockTest, AcquireDefault_MissingLockFileOnly_IsCreated) {
  LockSandbox sandbox;
  sandbox.make_protected_directory(0755);
  ASSERT_TRUE(acquire(sandbox, true));
  EXPECT_EQ(mode_of(sandbox.lock_file()), 0666u);
}

TEST(MaintenanceLockTest, AcquireDefault_MissingStateWithoutCreation_CreatesNothing) {
  LockSandbox sandbox;
  auto result = acquire(sandbox, false);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code(), codes::kMaintenanceProvisioningRequired);
  EXPECT_EQ(result.error().message(), kProvisioningRequiredMessage);
  EXPECT_FALSE(mode_of(sandbox.protected_directory()).has_value());

  sandbox.make_protected_directory(0755);
  result = acquire(sandbox, false);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code(), codes::kMaintenanceProvisioningRequired);
  EXPECT_FALSE(mode_of(sandbox.lock_file()).has_value());
}

TEST(MaintenanceLockTest, AcquireAs_CreationByNonRoot_IsRefusedAndLeavesNothing) {
  LockSandbox sandbox;
  auto result = MaintenanceLock::acquire_as(sandbox.location(), MaintenanceMode::kShared,
                                            MaintenanceTimeout::zero(), true, kNobodyUid);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code(), codes::kMaintenanceUnavailable);
  EXPECT_EQ(
      result.error().message(),
      "Only the elevated installed helper may provision the maintenance directory.");
  EXPECT_FALSE(mode_of(sandbox.protected_directory()).has_value());

  // This process is really root, so a create would succeed; a file left
  // behind with the umask's mode would lock every holder out for good.
  sandbox.make_protected_directory(0755);
  result = MaintenanceLock::acquire_as(sandbox.location(), MaintenanceMode::kShared,
                                       MaintenanceTimeout::zero(), true, kNobodyUid);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code(), codes::kMaintenanceUnavailable);
  EXPECT_EQ(result.error().message(),
            "Only the elevated installed helper may provision the maintenance lock.");
  EXPECT_FALSE(mode_of(sandbox.lock_file()).has_value());

  // An existing, correct file is used by a non-root caller as by anyone.
  sandbox.make_lock_file(0666);
  EXPECT_TRUE(MaintenanceLock::acquire_as(sandbox.location(), MaintenanceMode::kShared,
                                          MaintenanceTimeout::zero(), true, kNobodyUid));
}

TEST(MaintenanceLockTest, AcquireDefault_TimeoutLimit_CheckedBeforeAnyFile) {
  harness::TempDir holder;
  const MaintenanceLocation nowhere{.base_directory = holder.file("absent"),
                                    .directory_name = "ravik"};
  const auto result = MaintenanceLock::acquire_default(
      nowhere, MaintenanceMode::kShared, MaintenanceTimeout(3'600'001), false);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code(), codes::kMaintenanceProtocol);
  EXPECT_EQ(result.error().message(), "Maintenance timeout exceeds one hour.");

  LockSandbox sandbox;
  sandbox.provision();
  EXPECT_TRUE(MaintenanceLock::acquire_default(sandbox.location(),
                                               MaintenanceMode::kShared,
                                               MaintenanceTimeout(3'600'000), false));
}

TEST(MaintenanceLockTest, AcquireDefault_PathComponentsWithSlashOrNul_AreRefused) {
  LockSandbox sandbox;
  sandbox.provision();
  MaintenanceLocation location = sandbox.location();
  location.lock_file_name = "../ravik/maintenance-v1.lock";
  auto result = MaintenanceLock::acquire_default(location, MaintenanceMode::kShared,
                                                 MaintenanceTimeout::zero(), true);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code(), codes::kMaintenanceProtocol);
  EXPECT_EQ(result.error().message(), "Invalid maintenance lock path component.");

  location = sandbox.location();
  location.base_directory += std::string_view("\0x", 2);
  result = MaintenanceLock::acquire_default(location, MaintenanceMode::kShared,
                                            MaintenanceTimeout::zero(), true);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code(), codes::kMaintenanceUnavailable);
  EXPECT_EQ(result.error().message(), "Maintenance directory contains NUL.");
  result = MaintenanceLock::acquire_default(location, MaintenanceMode::kShared,
                                            MaintenanceTimeout::zero(), false);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code(), codes::kMaintenanceProvisioningRequired);
}

TEST(MaintenanceLockTest, AcquireDefault_Failures_LeaveNoDescriptorOpen) {
  LockSandbox unsafe_lock;
  unsafe_lock.make_protected_directory(0755);
  unsafe_lock.make_lock_file(0644);
  LockSandbox unsafe_directory;
  unsafe_directory.make_protected_directory(0777);
  LockSandbox missing;
  LockSandbox busy;
  busy.provision();
  auto holder = acquire(busy, false, MaintenanceMode::kExclusive);
  ASSERT_TRUE(holder);

  const int before = count_open_descriptors();
  for (const bool create_allowed : {false, true}) {
    EXPECT_FALSE(acquire(unsafe_lock, create_allowed));
    EXPECT_FALSE(acquire(unsafe_directory, create_allowed));
    EXPECT_FALSE(acquire(busy, create_allowed));
  }
  EXPECT_FALSE(acquire(missing, false));
  EXPECT_FALSE(MaintenanceLock::acquire_as(missing.location(), MaintenanceMode::kShared,
                                           MaintenanceTimeout::zero(), true, kNobodyUid));
  EXPECT_EQ(count_open_descriptors(), before);

  auto lock = acquire(unsafe_lock, false);
  ASSERT_FALSE(lock);
  {
    LockSandbox good;
    good.provision();
    auto held = acquire(good, false);
    ASSERT_TRUE(held);
    EXPECT_EQ(count_open_descriptors(), before + 1);
    ASSERT_TRUE(std::move(*held).unlock());
    EXPECT_EQ(count_open_descriptors(), before);
  }
}

TEST(MaintenanceLockTest, Unlock_ReleasesAtOnce) {
  LockSandbox sandbox;
  sandbox.provision();
  auto exclusive = acquire(sandbox, false, MaintenanceMode::kExclusive);
  ASSERT_TRUE(exclusive);
  // flock belongs to the open file, so a second open in this process is
  // refused like another process would be.
  const auto refused = acquire(sandbox, false);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().code(), codes::kMaintenanceBusy);
  EXPECT_EQ(refused.error().message(),
            "System maintenance is active; the maintenance lock timed out.");
  ASSERT_TRUE(std::move(*exclusive).unlock());
  EXPECT_TRUE(acquire(sandbox, false, MaintenanceMode::kExclusive));
}

TEST(AcquireProcessLockTest, ProvisioningPermittedAsRoot_CreatesAndHoldsShared) {
  ASSERT_EQ(::geteuid(), 0u) << "these tests run as root";
  LockSandbox sandbox;
  auto lock = acquire_process_lock(sandbox.location(), MaintenanceMode::kShared,
                                   std::chrono::seconds(30), true);
  ASSERT_TRUE(lock) << lock.error().message();
  EXPECT_EQ(lock->mode(), MaintenanceMode::kShared);
  EXPECT_EQ(mode_of(sandbox.lock_file()), 0666u);
  // Another shared holder coexists.
  EXPECT_TRUE(acquire_process_lock(sandbox.location(), MaintenanceMode::kShared,
                                   MaintenanceTimeout::zero(), false));
}

TEST(AcquireProcessLockTest, ProvisioningNotPermitted_ReportsProvisioningRequired) {
  LockSandbox sandbox;
  const auto result = acquire_process_lock(
      sandbox.location(), MaintenanceMode::kExclusive, MaintenanceTimeout(100), false);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code(), codes::kMaintenanceProvisioningRequired);
  EXPECT_FALSE(mode_of(sandbox.protected_directory()).has_value());
}

TEST(AcquireProcessLockTest, NonRootCaller_NeverCreatesEvenWhenPermitted) {
  LockSandbox sandbox;
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setresgid(kNobodyGid, kNobodyGid, kNobodyGid) != 0 ||
        ::setresuid(kNobodyUid, kNobodyUid, kNobodyUid) != 0) {
      ::_exit(2);
    }
    const auto result = acquire_process_lock(sandbox.location(), MaintenanceMode::kShared,
                                             MaintenanceTimeout::zero(), true);
    ::_exit(!result && result.error().code() == codes::kMaintenanceProvisioningRequired
                ? 0
                : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(mode_of(sandbox.protected_directory()).has_value());
}

}  // namespace
}  // namespace ravik
