// The installer lease end to end: the testing helper's installer modes as
// child processes, the guardians they leave running, and raw clients on the
// guardian's socket. The test process adopts orphaned guardians (child
// subreaper) so that it can see how they end, and kills every guardian still
// running when a test ends. Uses the helper's own lock directory, hence the
// "maintenance_lock" resource lock.
#include <dirent.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "maintenance/lock_test_support.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace ravik {
namespace {

using harness::ChildOptions;
using harness::ChildProcess;
using harness::Completed;
using harness::ExitStatus;
using nlohmann::ordered_json;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr std::string_view kTag = "ravik-system-maintenance-v1";
const std::string kDirectory = std::string(RAVIK_TESTING_ROOT) + "/ravik";
const std::string kStatePath = kDirectory + "/installer-lease-v1.json";
const std::string kSocketPath = kDirectory + "/installer-lease-v1.sock";

bool exists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

Completed run(const std::string& path, const std::vector<std::string>& args,
              const ChildOptions& options = ChildOptions::input("")) {
  auto done = harness::run_child(path, args, options);
  if (!done) {
    ADD_FAILURE() << done.error();
    return {};
  }
  return std::move(*done);
}

Completed helper(const std::vector<std::string>& args) {
  return run(harness::testing_helper_path(), args);
}

std::vector<std::string> begin_args(pid_t owner, std::string_view timeout = "10000") {
  return {"--maintenance-installer-begin",
          "--protocol",
          std::string(kTag),
          "--lease-state",
          kStatePath,
          "--owner-pid",
          std::to_string(owner),
          "--timeout-ms",
          std::string(timeout)};
}

std::vector<std::string> assert_args(pid_t owner, const std::string& path = kStatePath) {
  return {"--maintenance-installer-assert-owner",
          "--protocol",
          std::string(kTag),
          "--lease-state",
          path,
          "--owner-pid",
          std::to_string(owner)};
}

const std::vector<std::string> kEndArgs = {"--maintenance-installer-end", "--protocol",
                                           std::string(kTag), "--lease-state",
                                           kStatePath};

std::string status_line(std::string_view status, std::string_view lease_id, pid_t owner,
                        pid_t guardian, bool adopted) {
  return R"({"protocol":"ravik-system-maintenance-v1","status":")" + std::string(status) +
         R"(","leaseId":")" + std::string(lease_id) + R"(","ownerPid":)" +
         std::to_string(owner) + R"(,"guardianPid":)" + std::to_string(guardian) +
         R"(,"adopted":)" + (adopted ? "true" : "false") + "}\n";
}

void expect_failure(const Completed& done, std::string_view line) {
  EXPECT_EQ(done.stdout_text, "");
  EXPECT_EQ(done.stderr_text, std::string(line) + "\n");
  EXPECT_EQ(done.status, ExitStatus::exited_with(1));
}

ordered_json read_state() {
  std::ifstream file(kStatePath);
  return ordered_json::parse(file, nullptr, false);
}

bool lock_is_free() {
  const Completed probe =
      helper({"--maintenance-hold", "exclusive", "--timeout-ms", "0"});
  return probe.stdout_text.find(R"("status":"acquired")") != std::string::npos;
}

UniqueFd connect_to_guardian() {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, kSocketPath.c_str(), sizeof address.sun_path - 1);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
      0) {
    return UniqueFd();
  }
  const timeval limit{.tv_sec = 15, .tv_usec = 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return fd;
}

// All the guardian writes until it closes the connection; nothing when the
// connection fails or stays open too long.
std::optional<std::string> read_to_end(int fd) {
  std::string text;
  char buffer[512];
  while (true) {
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    // A peer that closes without reading what was sent resets the connection.
    if (count < 0 && errno == ECONNRESET) return text;
    if (count < 0) return std::nullopt;
    if (count == 0) return text;
    text.append(buffer, static_cast<std::size_t>(count));
  }
}

std::optional<std::string> exchange(std::string_view bytes) {
  const UniqueFd fd = connect_to_guardian();
  if (!fd) return std::nullopt;
  // A guardian that refuses the peer may close before the request is sent;
  // the read below sees that close either way.
  (void)::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
  return read_to_end(fd.get());
}

std::string request(const ordered_json& state, std::string_view command = "status",
                    std::string_view request_id_json = R"("r1")") {
  return R"({"protocol":"ravik-system-maintenance-v1","command":")" +
         std::string(command) + R"(","token":")" + state["token"].get<std::string>() +
         R"(","leaseId":")" + state["leaseId"].get<std::string>() + R"(","requestId":)" +
         std::string(request_id_json) + "}\n";
}

class InstallerLeaseTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0); }

  void SetUp() override {
    const Completed done = helper({"--maintenance-provision"});
    ASSERT_EQ(done.status, ExitStatus::exited_with(0)) << done.stderr_text;
    remove_lease_files();
    owner_ = start_owner();
  }

  void TearDown() override {
    for (const pid_t guardian : guardians_) {
      // Still our unreaped child, so the PID cannot belong to anyone else.
      if (::waitpid(guardian, nullptr, WNOHANG) == 0) {
        ::kill(guardian, SIGKILL);
        ::waitpid(guardian, nullptr, 0);
      }
    }
    remove_lease_files();
  }

  static void remove_lease_files() {
    ::unlink(kStatePath.c_str());
    ::unlink(kSocketPath.c_str());
  }

  static ChildProcess start_owner() {
    auto owner = ChildProcess::start("/bin/sleep", {"600"});
    if (!owner) {
      ADD_FAILURE() << owner.error();
      std::abort();
    }
    return std::move(*owner);
  }

  // Begins for `owner` and returns the status line's object; the guardian
  // it names is ended with the test.
  ordered_json held(const Completed& done) {
    EXPECT_EQ(done.status, ExitStatus::exited_with(0)) << done.stderr_text;
    EXPECT_EQ(done.stderr_text, "");
    ordered_json status = ordered_json::parse(done.stdout_text, nullptr, false);
    if (!status.is_object() || !status["guardianPid"].is_number_integer()) {
      ADD_FAILURE() << "no status line: " << done.stdout_text;
      return ordered_json::object();
    }
    guardians_.insert(status["guardianPid"].get<pid_t>());
    return status;
  }

  ordered_json begin(pid_t owner) { return held(helper(begin_args(owner))); }

  // The raw wait status of an adopted guardian once it ended.
  std::optional<int> wait_guardian(pid_t guardian) {
    const auto deadline = std::chrono::steady_clock::now() + seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      const pid_t reaped = ::waitpid(guardian, &status, WNOHANG);
      if (reaped == guardian) {
        guardians_.erase(guardian);
        return status;
      }
      if (reaped < 0) return std::nullopt;
      std::this_thread::sleep_for(milliseconds(10));
    }
    return std::nullopt;
  }

  std::optional<ChildProcess> owner_;  // the installer the lease is for
  std::set<pid_t> guardians_;
};

std::set<std::string> descriptor_targets(pid_t pid) {
  std::set<std::string> targets;
  const std::string directory = "/proc/" + std::to_string(pid) + "/fd";
  DIR* listing = ::opendir(directory.c_str());
  if (listing == nullptr) return targets;
  while (const dirent* entry = ::readdir(listing)) {
    if (entry->d_name[0] == '.') continue;
    char target[256] = {};
    const std::string link = directory + "/" + entry->d_name;
    if (::readlink(link.c_str(), target, sizeof target - 1) > 0) {
      targets.insert(std::string(entry->d_name) + " " + target);
    }
  }
  ::closedir(listing);
  return targets;
}

TEST_F(InstallerLeaseTest, Lifecycle_BeginAdoptRefuseKeepOutEnd) {
  // Begin as an installer would call it, with a descriptor of its own open.
  // Begun from a directory of its own, which the guardian must not keep busy.
  harness::TempDir begun_in;
  std::vector<std::string> shell = {"-c", R"(exec 7</dev/zero; exec "$0" "$@")",
                                    harness::testing_helper_path()};
  const std::vector<std::string> args = begin_args(owner_->pid());
  shell.insert(shell.end(), args.begin(), args.end());
  ordered_json status =
      held(run("/bin/sh", shell, ChildOptions::input("").in_directory(begun_in.path())));
  const std::string lease_id = status.value("leaseId", "");
  const pid_t guardian = status.value("guardianPid", 0);
  ASSERT_EQ(status.dump() + "\n",
            status_line("installerHeld", lease_id, owner_->pid(), guardian, false));
  ASSERT_EQ(lease_id.size(), 64u);

  const std::set<std::string> fds = descriptor_targets(guardian);
  EXPECT_EQ(fds.size(), 6u) << ::testing::PrintToString(fds);
  for (const std::string expected :
       {"0 /dev/null", "1 /dev/null", "2 /dev/null", "3 anon_inode:[pidfd]"}) {
    EXPECT_TRUE(fds.contains(expected)) << expected;
  }
  for (const std::string& fd : fds) EXPECT_EQ(fd.find("/dev/zero"), std::string::npos);
  EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(guardian) + "/cwd"),
            "/");

  struct stat file {};
  ASSERT_EQ(::lstat(kStatePath.c_str(), &file), 0);
  EXPECT_TRUE(S_ISREG(file.st_mode));
  EXPECT_EQ(file.st_mode & 07777, 0600u);
  EXPECT_EQ(file.st_uid, 0u);
  EXPECT_EQ(file.st_nlink, 1u);
  std::ifstream state_file(kStatePath);
  const std::string text((std::istreambuf_iterator<char>(state_file)), {});
  const ordered_json state = ordered_json::parse(text, nullptr, false);
  EXPECT_EQ(state.dump() + "\n", text);
  std::vector<std::string> keys;
  for (const auto& item : state.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"protocol", "version", "token", "socketPath",
                                            "leaseId", "ownerPid", "guardianPid"}));
  EXPECT_EQ(state["socketPath"], kSocketPath);
  EXPECT_EQ(state["guardianPid"], guardian);
  struct stat socket_file {};
  ASSERT_EQ(::lstat(kSocketPath.c_str(), &socket_file), 0);
  EXPECT_TRUE(S_ISSOCK(socket_file.st_mode));
  EXPECT_EQ(socket_file.st_mode & 0777, 0600u);

  EXPECT_EQ(helper(begin_args(owner_->pid())).stdout_text,
            status_line("installerHeld", lease_id, owner_->pid(), guardian, true));
  ChildProcess other = start_owner();
  expect_failure(
      helper(begin_args(other.pid())),
      "MAINTENANCE_BUSY: A different installer transaction already holds system "
      "maintenance.");
  EXPECT_EQ(
      helper(assert_args(owner_->pid())).stdout_text,
      status_line("installerOwnerConfirmed", lease_id, owner_->pid(), guardian, false));
  expect_failure(helper(assert_args(other.pid())),
                 "MAINTENANCE_BUSY: A different installer transaction owns system "
                 "maintenance.");
  EXPECT_EQ(helper({"--maintenance-hold", "shared", "--timeout-ms", "0"}).stderr_text,
            "MAINTENANCE_BUSY: System maintenance is active; the maintenance lock timed "
            "out.\n");
  // A device session waits for the lease to end before it reads anything.
  auto session =
      ChildProcess::start(harness::testing_helper_path(), {}, ChildOptions::input(""));
  ASSERT_TRUE(session) << session.error();
  EXPECT_EQ(session->wait(milliseconds(500)), std::nullopt);

  const Completed ended = helper(kEndArgs);
  EXPECT_EQ(ended.stdout_text,
            status_line("installerReleased", lease_id, owner_->pid(), guardian, false));
  EXPECT_FALSE(exists(kStatePath));
  EXPECT_FALSE(exists(kSocketPath));
  const auto guardian_status = wait_guardian(guardian);
  ASSERT_TRUE(guardian_status);
  EXPECT_TRUE(WIFEXITED(*guardian_status) && WEXITSTATUS(*guardian_status) == 0);
  EXPECT_EQ(session->wait(), ExitStatus::exited_with(1));
  EXPECT_FALSE(session->stderr_text().starts_with("MAINTENANCE_BUSY"))
      << session->stderr_text();
  EXPECT_TRUE(lock_is_free());
  expect_failure(helper(kEndArgs),
                 "MAINTENANCE_PROTOCOL: No authenticated installer maintenance lease "
                 "exists.");
}

TEST_F(InstallerLeaseTest, OwnerKilled_TheGuardianEndsTheLease) {
  const pid_t guardian = begin(owner_->pid()).value("guardianPid", 0);
  ASSERT_TRUE(owner_->send_signal(SIGKILL));
  EXPECT_EQ(owner_->wait(), ExitStatus::killed_by(SIGKILL));
  const auto guardian_status = wait_guardian(guardian);
  ASSERT_TRUE(guardian_status);
  EXPECT_TRUE(WIFEXITED(*guardian_status) && WEXITSTATUS(*guardian_status) == 0);
  EXPECT_FALSE(exists(kStatePath));
  EXPECT_FALSE(exists(kSocketPath));
  EXPECT_TRUE(lock_is_free());
}

TEST_F(InstallerLeaseTest, GuardianKilled_LeavesStaleFilesTheNextBeginReplaces) {
  const pid_t first = begin(owner_->pid()).value("guardianPid", 0);
  ASSERT_GT(first, 1);
  ASSERT_EQ(::kill(first, SIGKILL), 0);
  const auto killed = wait_guardian(first);
  ASSERT_TRUE(killed && WIFSIGNALED(*killed));
  EXPECT_TRUE(exists(kStatePath));
  EXPECT_TRUE(exists(kSocketPath));

  const ordered_json second = begin(owner_->pid());
  EXPECT_EQ(second.value("adopted", true), false);
  EXPECT_NE(second.value("guardianPid", first), first);
  EXPECT_EQ(read_state()["guardianPid"], second["guardianPid"]);
}

TEST_F(InstallerLeaseTest, End_StateFileReplacedWhileHeld_GuardianStopsWithoutAnswer) {
  const pid_t guardian = begin(owner_->pid()).value("guardianPid", 0);
  // Same content, another file: only the guardian's own file may be removed.
  const std::string copy = kStatePath + ".copy";
  std::filesystem::copy_file(kStatePath, copy);
  ASSERT_EQ(::rename(copy.c_str(), kStatePath.c_str()), 0);
  expect_failure(helper(kEndArgs),
                 "MAINTENANCE_PROTOCOL: Maintenance lease input ended before a release "
                 "request.");
  const auto guardian_status = wait_guardian(guardian);
  ASSERT_TRUE(guardian_status);
  EXPECT_TRUE(WIFEXITED(*guardian_status) && WEXITSTATUS(*guardian_status) == 1);
  EXPECT_TRUE(exists(kStatePath));
  EXPECT_TRUE(lock_is_free());
}

TEST_F(InstallerLeaseTest, Guardian_RefusedRequestsGetNoAnswer) {
  const ordered_json status = begin(owner_->pid());
  const ordered_json state = read_state();
  ASSERT_TRUE(state.is_object());
  ordered_json wrong_token = state;
  wrong_token["token"] = std::string(64, '0');
  ordered_json wrong_lease = state;
  wrong_lease["leaseId"] = std::string(64, '0');
  std::string raw_nul = request(state);
  raw_nul.insert(raw_nul.size() - 2, 1, '\0');
  for (const std::string& refused :
       {request(wrong_token), request(wrong_lease),
        request(state, "status", "\"" + std::string(257, 'x') + "\""),
        request(state, "stop"), request(state, "status", R"("a\u0000b")"), raw_nul}) {
    EXPECT_EQ(exchange(refused), "") << refused;
  }

  // A non-root peer, let in by the socket's mode for this one connection.
  ASSERT_EQ(::chmod(kSocketPath.c_str(), 0666), 0);
  const pid_t peer = ::fork();
  if (peer == 0) {
    if (::setgroups(0, nullptr) != 0 ||
        ::setresgid(testing::kNobodyGid, testing::kNobodyGid, testing::kNobodyGid) != 0 ||
        ::setresuid(testing::kNobodyUid, testing::kNobodyUid, testing::kNobodyUid) != 0) {
      ::_exit(3);
    }
    const auto answer = exchange(request(state));
    ::_exit(!answer ? 2 : answer->empty() ? 0 : 1);
  }
  int peer_status = 0;
  ASSERT_EQ(::waitpid(peer, &peer_status, 0), peer);
  ASSERT_EQ(::chmod(kSocketPath.c_str(), 0600), 0);
  EXPECT_TRUE(WIFEXITED(peer_status) && WEXITSTATUS(peer_status) == 0) << peer_status;

  EXPECT_EQ(
      exchange(request(state)),
      R"({"protocol":"ravik-system-maintenance-v1","status":"held","requestId":"r1",)"
      R"("leaseId":")" +
          state["leaseId"].get<std::string>() + R"(","ownerPid":)" +
          std::to_string(owner_->pid()) + R"(,"guardianPid":)" +
          std::to_string(status.value("guardianPid", 0)) + "}\n");
}

TEST_F(InstallerLeaseTest, Guardian_DropsASilentClientAndServesTheNext) {
  begin(owner_->pid());
  const ordered_json state = read_state();
  const UniqueFd silent = connect_to_guardian();
  ASSERT_TRUE(silent);
  const auto answer = exchange(request(state));
  ASSERT_TRUE(answer);
  EXPECT_TRUE(
      answer->starts_with(R"({"protocol":"ravik-system-maintenance-v1","status":"held")"))
      << *answer;
  EXPECT_EQ(read_to_end(silent.get()), "");
}

TEST_F(InstallerLeaseTest, Begin_RefusesUnsafeStaleFiles) {
  const std::string refused =
      "MAINTENANCE_UNAVAILABLE: Refused to replace unsafe installer maintenance state.";
  const std::string second_link = kDirectory + "/second-link";
  const auto place_file = [] {
    std::ofstream(kSocketPath) << "stale";
    ::chmod(kSocketPath.c_str(), 0600);
  };
  const std::vector<std::pair<std::string, std::function<void()>>> cases = {
      {"another owner",
       [&] {
         place_file();
         ASSERT_EQ(::chown(kSocketPath.c_str(), testing::kNobodyUid, testing::kNobodyGid),
                   0);
       }},
      {"two links",
       [&] {
         place_file();
         ASSERT_EQ(::link(kSocketPath.c_str(), second_link.c_str()), 0);
       }},
      {"a directory", [] { ASSERT_EQ(::mkdir(kSocketPath.c_str(), 0700), 0); }},
      {"a symbolic link",
       [] { ASSERT_EQ(::symlink("/dev/null", kSocketPath.c_str()), 0); }},
  };
  for (const auto& [name, place] : cases) {
    place();
    expect_failure(helper(begin_args(owner_->pid())), refused);
    EXPECT_FALSE(exists(kStatePath)) << name;
    ::rmdir(kSocketPath.c_str());
    ::unlink(kSocketPath.c_str());
    ::unlink(second_link.c_str());
  }
  EXPECT_TRUE(lock_is_free());
}

TEST_F(InstallerLeaseTest, StateWrite_FailsWholeAndUnfinishedStateIsStale) {
  const std::string temporary = kStatePath + ".new";
  std::vector<std::string> traced = {"-f",
                                     "-qq",
                                     "-o",
                                     "/dev/null",
                                     "-P",
                                     kStatePath,
                                     "-P",
                                     temporary,
                                     "-e",
                                     "trace=write",
                                     "-e",
                                     "inject=write:error=ENOSPC",
                                     harness::testing_helper_path()};
  const std::vector<std::string> args = begin_args(owner_->pid());
  traced.insert(traced.end(), args.begin(), args.end());
  // LeakSanitizer stops the world through ptrace, which strace already
  // holds; in a sanitized tree its check would abort the traced helper.
  ChildOptions options = ChildOptions::input("");
  const char* sanitizer_options = std::getenv("ASAN_OPTIONS");
  options.extra_environment.push_back(
      "ASAN_OPTIONS=" + std::string(sanitizer_options ? sanitizer_options : "") +
      ":detect_leaks=0");
  const Completed failed = run("/usr/bin/strace", traced, options);
  EXPECT_EQ(failed.status, ExitStatus::exited_with(1));
  EXPECT_TRUE(failed.stderr_text.starts_with(
      "MAINTENANCE_UNAVAILABLE: Could not persist installer lease state: "))
      << failed.stderr_text;
  EXPECT_FALSE(exists(kStatePath));
  EXPECT_FALSE(exists(temporary));
  EXPECT_FALSE(exists(kSocketPath));
  EXPECT_TRUE(lock_is_free());

  // What a power cut or an older guardian killed mid-write leaves: begin
  // replaces it. Files that are not plainly the helper's own stay refused.
  const std::string unsafe =
      "MAINTENANCE_UNAVAILABLE: Installer lease state ownership, type, links, size, or "
      "permissions are unsafe.";
  // A dead guardian's record with a member this version does not know.
  const std::string unknown_member =
      R"({"protocol":"ravik-system-maintenance-v1","version":1,"token":")" +
      std::string(64, 'a') + R"(","socketPath":")" + kSocketPath + R"(","leaseId":")" +
      std::string(64, 'b') + R"(","ownerPid":2,"guardianPid":2,"extra":1})" + "\n";
  for (const std::string& unfinished :
       {std::string(), std::string(R"({"protocol":"ravik-sys)"), unknown_member}) {
    std::ofstream(kStatePath) << unfinished;
    ASSERT_EQ(::chmod(kStatePath.c_str(), 0600), 0);
    EXPECT_EQ(begin(owner_->pid()).value("adopted", true), false);
    EXPECT_TRUE(read_state().is_object());
    EXPECT_EQ(helper(kEndArgs).status, ExitStatus::exited_with(0));
  }
  std::ofstream(kStatePath) << "";
  ASSERT_EQ(::chmod(kStatePath.c_str(), 0644), 0);
  expect_failure(helper(begin_args(owner_->pid())), unsafe);
  ::unlink(kStatePath.c_str());
  ASSERT_EQ(::mkfifo(kStatePath.c_str(), 0600), 0);
  expect_failure(helper(begin_args(owner_->pid())), unsafe);
  EXPECT_TRUE(lock_is_free());
}

// The PIDs of `pid`'s children.
std::vector<pid_t> children_of(pid_t pid) {
  const std::string id = std::to_string(pid);
  std::ifstream list("/proc/" + id + "/task/" + id + "/children");
  std::vector<pid_t> children;
  for (pid_t child = 0; list >> child;) children.push_back(child);
  return children;
}

TEST_F(InstallerLeaseTest, BeginInterrupted_TheWaitingGuardianLetsGoAtOnce) {
  auto holder = ChildProcess::start(
      harness::testing_helper_path(),
      {"--maintenance-hold", "exclusive", "--timeout-ms", "0"}, ChildOptions::piped());
  ASSERT_TRUE(holder) << holder.error();
  ASSERT_TRUE(holder->read_line());
  auto begun = ChildProcess::start(harness::testing_helper_path(),
                                   begin_args(owner_->pid(), "60000"));
  ASSERT_TRUE(begun) << begun.error();
  // The guardian waits for the lock holding nothing of begin's caller.
  pid_t guardian = 0;
  const auto deadline = std::chrono::steady_clock::now() + seconds(20);
  while (guardian == 0 && std::chrono::steady_clock::now() < deadline) {
    for (const pid_t child : children_of(begun->pid())) {
      std::error_code error;
      const auto out = std::filesystem::read_symlink(
          "/proc/" + std::to_string(child) + "/fd/1", error);
      if (!error && out == "/dev/null") guardian = child;
    }
    std::this_thread::sleep_for(milliseconds(10));
  }
  ASSERT_NE(guardian, 0) << "no guardian detached from begin's streams";
  guardians_.insert(guardian);
  ASSERT_TRUE(begun->send_signal(SIGINT));
  EXPECT_EQ(begun->read_stdout_to_end(seconds(20)), "");
  EXPECT_EQ(begun->wait(), ExitStatus::killed_by(SIGINT));
  // Nobody is left to be told of a lease: the guardian gives up the wait.
  const auto guardian_status = wait_guardian(guardian);
  ASSERT_TRUE(guardian_status);
  EXPECT_TRUE(WIFEXITED(*guardian_status) && WEXITSTATUS(*guardian_status) == 1);
  holder->close_stdin();
  EXPECT_EQ(holder->wait(), ExitStatus::exited_with(1));
  EXPECT_FALSE(exists(kStatePath));
  EXPECT_TRUE(lock_is_free());
}

TEST_F(InstallerLeaseTest, BeginCannotReport_EndsTheLeaseItStartedNotAnAdoptedOne) {
  std::vector<std::string> unreported = {"-c", R"(exec "$0" "$@" >/dev/full)",
                                         harness::testing_helper_path()};
  const std::vector<std::string> args = begin_args(owner_->pid());
  unreported.insert(unreported.end(), args.begin(), args.end());
  const std::string cannot_write =
      "MAINTENANCE_UNAVAILABLE: Could not write installer maintenance status: ";
  const Completed started = run("/bin/sh", unreported);
  EXPECT_EQ(started.status, ExitStatus::exited_with(1));
  EXPECT_TRUE(started.stderr_text.starts_with(cannot_write)) << started.stderr_text;
  EXPECT_FALSE(exists(kStatePath));
  EXPECT_TRUE(lock_is_free());

  const pid_t guardian = begin(owner_->pid()).value("guardianPid", 0);
  const Completed adopted = run("/bin/sh", unreported);
  EXPECT_TRUE(adopted.stderr_text.starts_with(cannot_write)) << adopted.stderr_text;
  EXPECT_EQ(read_state()["guardianPid"], guardian);
  EXPECT_EQ(helper(assert_args(owner_->pid())).status, ExitStatus::exited_with(0));
}

TEST_F(InstallerLeaseTest, Begin_AdoptsOnlyAnOwnerThatIsOlderThanTheGuardian) {
  // A guardian that still vouches for a PID its owner left behind: the
  // caller's owner started after the guardian, so it is another process.
  const ordered_json state = {{"protocol", kTag},
                              {"version", 1},
                              {"token", std::string(64, 'a')},
                              {"socketPath", kSocketPath},
                              {"leaseId", std::string(64, 'b')},
                              {"ownerPid", owner_->pid()},
                              {"guardianPid", ::getpid()}};
  std::ofstream(kStatePath) << state.dump() << "\n";
  ASSERT_EQ(::chmod(kStatePath.c_str(), 0600), 0);
  UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, kSocketPath.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(
      ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
      0);
  ASSERT_EQ(::chmod(kSocketPath.c_str(), 0600), 0);
  ASSERT_EQ(::listen(listener.get(), 1), 0);
  std::thread fake_guardian([&] {
    const UniqueFd connection(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    std::string line;
    for (char c = 0;
         line.find('\n') == std::string::npos && ::read(connection.get(), &c, 1) == 1;) {
      line += c;
    }
    const ordered_json request = ordered_json::parse(line, nullptr, false);
    const std::string answer = ordered_json{{"protocol", kTag},
                                            {"status", "held"},
                                            {"requestId", request.value("requestId", "")},
                                            {"leaseId", state["leaseId"]},
                                            {"ownerPid", state["ownerPid"]},
                                            {"guardianPid", state["guardianPid"]}}
                                   .dump() +
                               "\n";
    (void)::write(connection.get(), answer.data(), answer.size());
  });
  const Completed done = helper(begin_args(owner_->pid()));
  fake_guardian.join();
  expect_failure(done,
                 "MAINTENANCE_BUSY: A different installer transaction already holds "
                 "system maintenance.");
}

TEST_F(InstallerLeaseTest, GuardianStopped_ARequestGivesUpWithinItsLimit) {
  const pid_t guardian = begin(owner_->pid()).value("guardianPid", 0);
  ASSERT_EQ(::kill(guardian, SIGSTOP), 0);
  // Its accept queue full, a connect would wait for room without end.
  std::vector<UniqueFd> queued;
  while (queued.size() < 1000) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, kSocketPath.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address),
                  sizeof address) != 0) {
      break;
    }
    queued.push_back(std::move(fd));
  }
  const auto done =
      harness::run_child(harness::testing_helper_path(), assert_args(owner_->pid()),
                         ChildOptions::input(""), seconds(30));
  ::kill(guardian, SIGCONT);
  ASSERT_TRUE(done) << done.error();
  EXPECT_EQ(done->status, ExitStatus::exited_with(1));
  EXPECT_TRUE(done->stderr_text.starts_with(
      "MAINTENANCE_UNAVAILABLE: Could not connect to installer guardian: "))
      << done->stderr_text;
}

TEST_F(InstallerLeaseTest, ArgumentsAndInvocation_AreCheckedInOrder) {
  const std::string positive =
      "MAINTENANCE_PROTOCOL: Installer owner PID must be a positive integer.";
  const std::string live =
      "MAINTENANCE_PROTOCOL: Installer owner PID must identify a live non-system "
      "process.";
  const std::string kPid = std::to_string(owner_->pid());
  std::vector<std::string> args = begin_args(owner_->pid());
  const auto with = [&](std::size_t index, std::string value) {
    std::vector<std::string> changed = args;
    changed[index] = std::move(value);
    return changed;
  };
  for (const std::string pid : {"abc", "+", "2147483648", "", "1 "}) {
    expect_failure(helper(with(6, pid)), positive);
  }
  // 2 is the kernel's thread creator: a kernel thread never exits.
  for (const std::string pid : {"-5", "1", "-2147483648", "2"}) {
    expect_failure(helper(with(6, pid)), live);
  }
  expect_failure(
      helper(with(8, "1.5")),
      "MAINTENANCE_PROTOCOL: Installer maintenance timeout must be an unsigned "
      "integer.");
  expect_failure(helper(with(2, "ravik-system-maintenance-v2")),
                 "MAINTENANCE_PROTOCOL: Unsupported installer maintenance protocol.");
  const std::string not_canonical =
      "MAINTENANCE_PROTOCOL: Installer lease-state path is not the canonical protected "
      "path.";
  expect_failure(helper(with(4, kDirectory + "/../ravik/installer-lease-v1.json")),
                 not_canonical);
  expect_failure(helper(with(4, kDirectory + "/Installer-lease-v1.json")), not_canonical);
  expect_failure(
      helper(assert_args(owner_->pid(), kDirectory + "//installer-lease-v1.json")),
      "MAINTENANCE_PROTOCOL: No authenticated installer maintenance lease "
      "exists.");

  const pid_t gone = ::fork();
  if (gone == 0) ::_exit(0);
  ::waitpid(gone, nullptr, 0);
  expect_failure(helper(begin_args(gone)),
                 "MAINTENANCE_UNAVAILABLE: Could not identify the exact installer owner "
                 "process.");
  // The guardian refuses the timeout and begin reports its error.
  expect_failure(helper(with(8, "3600001")),
                 "MAINTENANCE_PROTOCOL: Maintenance timeout exceeds one hour.");

  harness::TempDir copy_dir;
  const std::string for_others = testing::testing_helper_for_others(copy_dir);
  const auto as_nobody =
      ChildOptions::input("").as_user(testing::kNobodyUid, testing::kNobodyGid);
  expect_failure(run(for_others, args, as_nobody),
                 "MAINTENANCE_PROVISIONING_REQUIRED: Installer maintenance requires the "
                 "installed root-owned helper.");
  expect_failure(run(for_others, with(2, "v1"), as_nobody),
                 "MAINTENANCE_PROTOCOL: Unsupported installer maintenance protocol.");
  EXPECT_FALSE(exists(kStatePath));
}

}  // namespace
}  // namespace ravik
