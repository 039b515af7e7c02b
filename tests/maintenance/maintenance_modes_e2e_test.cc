// The maintenance modes of the testing helper, run as child processes over
// pipes. They share the helper's lock directory inside the build tree, which
// is why CTest runs them under the "maintenance_lock" resource lock.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "maintenance/lock_test_support.h"
#include "support/child_process.h"
#include "support/file_probe.h"
#include "support/temp_dir.h"

namespace ravik {
namespace {

using harness::ChildOptions;
using harness::ChildProcess;
using harness::Completed;
using harness::ExitStatus;
using std::chrono::milliseconds;
using std::chrono::steady_clock;
using testing::kNobodyGid;
using testing::kNobodyUid;

constexpr std::string_view kTag = "ravik-system-maintenance-v1";

ChildProcess start_helper(const std::vector<std::string>& args,
                          const ChildOptions& options = ChildOptions::piped()) {
  auto child = ChildProcess::start(harness::testing_helper_path(), args, options);
  if (!child) {
    ADD_FAILURE() << child.error();
    std::abort();
  }
  return std::move(*child);
}

ChildProcess start_hold(std::string_view mode, std::string_view timeout = "0",
                        const ChildOptions& options = ChildOptions::piped()) {
  return start_helper(
      {"--maintenance-hold", std::string(mode), "--timeout-ms", std::string(timeout)},
      options);
}

Completed run_helper(const std::vector<std::string>& args,
                     const ChildOptions& options = ChildOptions::input("")) {
  auto done = harness::run_child(harness::testing_helper_path(), args, options);
  if (!done) {
    ADD_FAILURE() << done.error();
    return {};
  }
  return std::move(*done);
}

std::string request(std::string_view lease_id, std::string_view request_id_json) {
  return R"({"protocol":"ravik-system-maintenance-v1","command":"release","leaseId":")" +
         std::string(lease_id) + R"(","requestId":)" + std::string(request_id_json) + "}";
}

std::string status_line(std::string_view status, std::string_view mode,
                        std::string_view lease_id) {
  return R"({"protocol":"ravik-system-maintenance-v1","status":")" + std::string(status) +
         R"(","mode":")" + std::string(mode) + R"(","leaseId":")" +
         std::string(lease_id) + "\"";
}

std::string error_line(std::string_view code, std::string_view message) {
  return R"({"protocol":"ravik-system-maintenance-v1","status":"error","code":")" +
         std::string(code) + R"(","message":")" + std::string(message) + "\"}";
}

const std::string kInvalid =
    error_line("MAINTENANCE_PROTOCOL", "Invalid maintenance release request.");
const std::string kNonMatching = error_line(
    "MAINTENANCE_PROTOCOL", "Maintenance release request did not match the held lease.");

// A running hold that has announced itself.
struct Hold {
  ChildProcess child;
  std::string lease_id;
};

Hold acquired_hold(std::string_view mode, std::string_view timeout = "0",
                   const ChildOptions& options = ChildOptions::piped()) {
  ChildProcess child = start_hold(mode, timeout, options);
  const auto line = child.read_line();
  EXPECT_TRUE(line) << child.stderr_text();
  std::string lease_id;
  if (line) {
    const auto object = nlohmann::json::parse(*line, nullptr, false);
    if (object.is_object() && object.contains("leaseId") &&
        object["leaseId"].is_string()) {
      lease_id = object["leaseId"];
    }
    EXPECT_EQ(*line, status_line("acquired", mode, lease_id) + "}");
  }
  EXPECT_EQ(lease_id.size(), 64u);
  return Hold{std::move(child), lease_id};
}

void send(ChildProcess& child, std::string_view bytes) {
  const auto written = child.write_stdin(bytes);
  ASSERT_TRUE(written) << written.error();
}

// The final error line on standard output, the same error on standard
// error, exit status 1.
void expect_final_error(ChildProcess& child, std::string_view code,
                        std::string_view message) {
  EXPECT_EQ(child.read_line(), error_line(code, message));
  EXPECT_EQ(child.wait(), ExitStatus::exited_with(1));
  EXPECT_EQ(child.read_stdout_to_end(), "");
  EXPECT_EQ(child.stderr_text(), std::string(code) + ": " + std::string(message) + "\n");
}

// True when an exclusive hold can be taken at once, i.e. nobody holds the
// lock any more.
bool lock_is_free() {
  ChildProcess probe = start_hold("exclusive", "0");
  const auto line = probe.read_line();
  probe.close_stdin();
  probe.wait();
  return line && line->starts_with(
                     R"({"protocol":"ravik-system-maintenance-v1","status":"acquired")");
}

class MaintenanceModesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const Completed done = run_helper({"--maintenance-provision"});
    ASSERT_EQ(done.status, ExitStatus::exited_with(0)) << done.stderr_text;
  }
};

TEST_F(MaintenanceModesTest, Provision_TwiceGivesTheSameLine) {
  const Completed first = run_helper({"--maintenance-provision"});
  const Completed second = run_helper({"--maintenance-provision"});
  const std::string lock_path =
      std::string(RAVIK_TESTING_ROOT) + "/ravik/maintenance-v1.lock";
  const std::string expected = R"({"path":")" + lock_path +
                               R"(","protocol":"ravik-system-maintenance-v1",)"
                               R"("status":"provisioned"})"
                               "\n";
  EXPECT_EQ(first.stdout_text, expected);
  EXPECT_EQ(second.stdout_text, expected);
  EXPECT_EQ(second.stderr_text, "");
  EXPECT_EQ(second.status, ExitStatus::exited_with(0));
  struct stat status {};
  ASSERT_EQ(::stat(lock_path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0666u);
  EXPECT_EQ(status.st_uid, 0u);
}

TEST_F(MaintenanceModesTest, Provision_WhileHeldExclusively_IsBusyAtOnce) {
  Hold hold = acquired_hold("exclusive");
  const Completed done = run_helper({"--maintenance-provision"});
  EXPECT_EQ(done.stdout_text, "");
  EXPECT_EQ(done.stderr_text,
            "MAINTENANCE_BUSY: System maintenance is active; the maintenance lock timed "
            "out.\n");
  EXPECT_EQ(done.status, ExitStatus::exited_with(1));
}

TEST_F(MaintenanceModesTest, ExclusiveHold_TwoLinesThenExit0) {
  Hold hold = acquired_hold("exclusive");
  send(hold.child, request(hold.lease_id, "\"req-1\"") + "\n");
  EXPECT_EQ(hold.child.read_line(), status_line("released", "exclusive", hold.lease_id) +
                                        R"(,"requestId":"req-1"})");
  EXPECT_EQ(hold.child.wait(), ExitStatus::exited_with(0));
  EXPECT_EQ(hold.child.read_stdout_to_end(), "");
  EXPECT_EQ(hold.child.stderr_text(), "");
  EXPECT_TRUE(lock_is_free());
}

TEST_F(MaintenanceModesTest, ProvisionHoldAndInstaller_ReachNoFileOutsideTheirOwn) {
  if (const char* why = testing::why_file_layers_are_not_seen()) GTEST_SKIP() << why;
  const testing::FileProbe probe;
  const std::string refused = testing::FileProbe::refused_mode_line();
  ChildOptions options = ChildOptions::input("");
  options.extra_environment = probe.environment();
  const Completed provisioned = run_helper({"--maintenance-provision"}, options);
  EXPECT_EQ(provisioned.status, ExitStatus::exited_with(0));
  EXPECT_EQ(provisioned.stderr_text, refused);

  ChildOptions piped = ChildOptions::piped();
  piped.extra_environment = probe.environment();
  Hold hold = acquired_hold("exclusive", "0", piped);
  send(hold.child, request(hold.lease_id, "\"req-1\"") + "\n");
  EXPECT_EQ(hold.child.wait(), ExitStatus::exited_with(0));
  EXPECT_EQ(hold.child.stderr_text(), refused);

  // No lease is running: the mode fails after the probe.
  const Completed ended =
      run_helper({"--maintenance-installer-end", "--protocol", std::string(kTag),
                  "--lease-state", std::string(RAVIK_TESTING_ROOT) + "/ravik/x"},
                 options);
  EXPECT_EQ(ended.status, ExitStatus::exited_with(1));
  EXPECT_TRUE(ended.stderr_text.starts_with(refused)) << ended.stderr_text;

  // The mode that starts the guardian changes no mode by name either: its
  // socket is made with its final mode. An owner that is no process ends it
  // after the probe.
  const Completed begun =
      run_helper({"--maintenance-installer-begin", "--protocol", std::string(kTag),
                  "--lease-state", std::string(RAVIK_TESTING_ROOT) + "/ravik/x",
                  "--owner-pid", "0", "--timeout-ms", "1000"},
                 options);
  EXPECT_EQ(begun.status, ExitStatus::exited_with(1));
  EXPECT_TRUE(begun.stderr_text.starts_with(refused)) << begun.stderr_text;
}

TEST_F(MaintenanceModesTest,
       Hold_InvalidAndNonMatchingRequests_AreAnsweredAndTheHoldGoesOn) {
  Hold hold = acquired_hold("shared");
  const std::string good = request(hold.lease_id, "\"r\"");
  const std::string with_force = good.substr(0, good.size() - 1) + R"(,"force":true})";
  const std::string reordered = R"({"requestId":"r","leaseId":")" + hold.lease_id +
                                R"(","command":"release","protocol":")" +
                                std::string(kTag) + "\"}";
  const std::vector<std::pair<std::string, std::string>> exchanges = {
      {good + std::string("\0junk", 5), kInvalid},
      {with_force, kInvalid},
      {request(std::string(64, '0'), "\"r\""), kNonMatching},
      {request(hold.lease_id, "\"" + std::string(257, 'x') + "\""), kNonMatching},
      {request(hold.lease_id, R"("a\u0000b")"), kNonMatching},
      {request(hold.lease_id, R"("")"), kNonMatching},
      {"not json", kInvalid},
  };
  for (const auto& [line, answer] : exchanges) {
    send(hold.child, line + "\n");
    EXPECT_EQ(hold.child.read_line(), answer) << line;
  }
  // Still held: an exclusive holder cannot get in.
  EXPECT_FALSE(lock_is_free());
  send(hold.child, reordered + "\n");
  EXPECT_EQ(hold.child.read_line(),
            status_line("released", "shared", hold.lease_id) + R"(,"requestId":"r"})");
  EXPECT_EQ(hold.child.wait(), ExitStatus::exited_with(0));
}

TEST_F(MaintenanceModesTest, Hold_RequestIdOf256Bytes_Releases) {
  Hold hold = acquired_hold("exclusive");
  const std::string id(256, 'q');
  send(hold.child, request(hold.lease_id, "\"" + id + "\"") + "\n");
  EXPECT_EQ(hold.child.read_line(), status_line("released", "exclusive", hold.lease_id) +
                                        R"(,"requestId":")" + id + "\"}");
  EXPECT_EQ(hold.child.wait(), ExitStatus::exited_with(0));
}

TEST_F(MaintenanceModesTest, Hold_LineOfExactly16KiB_IsRead) {
  Hold hold = acquired_hold("exclusive");
  std::string line = request(hold.lease_id, "\"big\"");
  line += std::string(16384 - line.size(), ' ');
  ASSERT_EQ(line.size(), 16384u);
  send(hold.child, line + "\n");
  EXPECT_EQ(hold.child.read_line(), status_line("released", "exclusive", hold.lease_id) +
                                        R"(,"requestId":"big"})");
  EXPECT_EQ(hold.child.wait(), ExitStatus::exited_with(0));
}

TEST_F(MaintenanceModesTest, Hold_LineOf16385Bytes_EndsTheHold) {
  Hold hold = acquired_hold("exclusive");
  std::string line = request(hold.lease_id, "\"big\"");
  line += std::string(16385 - line.size(), ' ');
  send(hold.child, line + "\n");
  expect_final_error(hold.child, "MAINTENANCE_PROTOCOL",
                     "Maintenance release request exceeds 16 KiB.");
  EXPECT_TRUE(lock_is_free());
}

TEST_F(MaintenanceModesTest, Hold_CarriageReturn_EndsTheHold) {
  Hold hold = acquired_hold("exclusive");
  send(hold.child, request(hold.lease_id, "\"r\"") + "\r\n");
  expect_final_error(hold.child, "MAINTENANCE_PROTOCOL",
                     "Maintenance release request contains an invalid line break.");
}

TEST_F(MaintenanceModesTest, Hold_InputEndsOrEmptyLine_EndsTheHoldAndFreesTheLock) {
  for (const std::string_view input : {"", "\n"}) {
    Hold hold = acquired_hold("exclusive");
    send(hold.child, input);
    hold.child.close_stdin();
    expect_final_error(hold.child, "MAINTENANCE_PROTOCOL",
                       "Maintenance lease input ended before a release request.");
    EXPECT_TRUE(lock_is_free());
  }
}

TEST_F(MaintenanceModesTest, Hold_FinalRequestWithoutLineFeed_IsAccepted) {
  Hold hold = acquired_hold("exclusive");
  send(hold.child, request(hold.lease_id, "\"last\""));
  hold.child.close_stdin();
  EXPECT_EQ(hold.child.read_line(), status_line("released", "exclusive", hold.lease_id) +
                                        R"(,"requestId":"last"})");
  EXPECT_EQ(hold.child.wait(), ExitStatus::exited_with(0));
}

TEST_F(MaintenanceModesTest, Hold_BadTimeoutTexts_FailBeforeAnyOutput) {
  for (const std::string timeout : {"-1", "1.5", " 5", "18446744073709551616", ""}) {
    const Completed done =
        run_helper({"--maintenance-hold", "exclusive", "--timeout-ms", timeout});
    EXPECT_EQ(done.stdout_text, "") << timeout;
    EXPECT_EQ(done.stderr_text,
              "MAINTENANCE_PROTOCOL: Maintenance timeout must be an unsigned integer.\n")
        << timeout;
    EXPECT_EQ(done.status, ExitStatus::exited_with(1));
  }
  const Completed bad_mode =
      run_helper({"--maintenance-hold", "Shared", "--timeout-ms", "1000"});
  EXPECT_EQ(bad_mode.stdout_text, "");
  EXPECT_EQ(bad_mode.stderr_text,
            "MAINTENANCE_PROTOCOL: Maintenance mode must be shared or exclusive.\n");
}

TEST_F(MaintenanceModesTest, Hold_TimeoutAboveOneHour_IsAFinalErrorLine) {
  const Completed done =
      run_helper({"--maintenance-hold", "shared", "--timeout-ms", "3600001"});
  EXPECT_EQ(
      done.stdout_text,
      error_line("MAINTENANCE_PROTOCOL", "Maintenance timeout exceeds one hour.") + "\n");
  EXPECT_EQ(done.stderr_text,
            "MAINTENANCE_PROTOCOL: Maintenance timeout exceeds one hour.\n");
  EXPECT_EQ(done.status, ExitStatus::exited_with(1));
}

TEST_F(MaintenanceModesTest, Hold_PlusSignedTimeout_WaitsThatLongThenBusy) {
  Hold holder = acquired_hold("exclusive");
  const auto start = steady_clock::now();
  ChildProcess waiter = start_hold("shared", "+250");
  expect_final_error(waiter, "MAINTENANCE_BUSY",
                     "System maintenance is active; the maintenance lock timed out.");
  EXPECT_GE(steady_clock::now() - start, milliseconds(250));
}

TEST_F(MaintenanceModesTest, Holders_SharedCoexistExclusiveExcludes) {
  Hold first = acquired_hold("shared");
  Hold second = acquired_hold("shared");
  EXPECT_NE(first.lease_id, second.lease_id);

  ChildProcess exclusive = start_hold("exclusive", "300");
  expect_final_error(exclusive, "MAINTENANCE_BUSY",
                     "System maintenance is active; the maintenance lock timed out.");
  first.child.close_stdin();
  second.child.close_stdin();
  EXPECT_EQ(first.child.wait(), ExitStatus::exited_with(1));
  EXPECT_EQ(second.child.wait(), ExitStatus::exited_with(1));
  EXPECT_TRUE(lock_is_free());
}

TEST_F(MaintenanceModesTest, Holders_ExclusiveMakesSharedWaitThenBusy) {
  Hold holder = acquired_hold("exclusive");
  const auto start = steady_clock::now();
  ChildProcess shared = start_hold("shared", "300");
  expect_final_error(shared, "MAINTENANCE_BUSY",
                     "System maintenance is active; the maintenance lock timed out.");
  EXPECT_GE(steady_clock::now() - start, milliseconds(300));
}

TEST_F(MaintenanceModesTest, Holders_ZeroTimeoutFailsAtOnceAndSigkillFreesTheLock) {
  Hold holder = acquired_hold("exclusive");
  ChildProcess refused = start_hold("exclusive", "0");
  expect_final_error(refused, "MAINTENANCE_BUSY",
                     "System maintenance is active; the maintenance lock timed out.");
  ASSERT_TRUE(holder.child.send_signal(SIGKILL));
  EXPECT_EQ(holder.child.wait(), ExitStatus::killed_by(SIGKILL));
  // Zero timeout: one attempt, which must succeed now.
  EXPECT_TRUE(lock_is_free());
}

// The helper as an unprivileged user sees it.
class UnprivilegedModesTest : public MaintenanceModesTest {
 protected:
  void SetUp() override {
    MaintenanceModesTest::SetUp();
    helper_ = testing::testing_helper_for_others(copy_dir_);
  }

  ChildOptions as_nobody(ChildOptions options) const {
    options.as_user(kNobodyUid, kNobodyGid);
    return options;
  }

  harness::TempDir copy_dir_;
  std::string helper_;
};

TEST_F(UnprivilegedModesTest, Provision_RequiresTheElevatedHelper) {
  auto done = harness::run_child(helper_, {"--maintenance-provision"},
                                 as_nobody(ChildOptions::input("")));
  ASSERT_TRUE(done) << done.error();
  EXPECT_EQ(done->stdout_text, "");
  EXPECT_EQ(done->stderr_text,
            "MAINTENANCE_PROVISIONING_REQUIRED: Maintenance provisioning requires the "
            "installed elevated helper.\n");
  EXPECT_EQ(done->status, ExitStatus::exited_with(1));
}

TEST_F(UnprivilegedModesTest, Hold_WorksWithoutPrivileges) {
  auto started = ChildProcess::start(
      helper_, {"--maintenance-hold", "exclusive", "--timeout-ms", "0"},
      as_nobody(ChildOptions::piped()));
  ASSERT_TRUE(started) << started.error();
  ChildProcess& child = *started;
  const auto line = child.read_line();
  ASSERT_TRUE(line) << child.stderr_text();
  const auto object = nlohmann::json::parse(*line);
  ASSERT_EQ(object["status"], "acquired");
  const std::string lease_id = object["leaseId"];
  send(child, request(lease_id, "\"n\"") + "\n");
  EXPECT_EQ(child.read_line(),
            status_line("released", "exclusive", lease_id) + R"(,"requestId":"n"})");
  EXPECT_EQ(child.wait(), ExitStatus::exited_with(0));
}

}  // namespace
}  // namespace ravik
