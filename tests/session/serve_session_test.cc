// The session in process: serve_device_session over a scripted input file
// and an output file, with the fault-injecting device as target and a clock
// that advances only when the session sleeps, so that failures of the disk
// and the release wait can be driven exactly.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "job/messages.h"
#include "job/wire.h"
#include "session/device_session.h"
#include "session_driver.h"
#include "support/fake_clock.h"
#include "support/fault_injecting_device.h"

namespace ravik {
namespace {

using session_test::error_line;
using session_test::header;

constexpr std::uint64_t kImageSize = 16 * 1024;
constexpr std::uint64_t kDiskSize = 64 * 1024;

class ServeSessionTest : public ::testing::Test {
 protected:
  ServeSessionTest()
      : image_(testing::pattern_text(kImageSize)),
        disk_(std::make_shared<testing::FakeDisk>(kDiskSize)) {}

  std::string open_write() const {
    job::OpenWriteFields fields;
    fields.ids = {"req-1", "ses-1", "task-1"};
    fields.target.device_id = "fake0";
    fields.target.device_path = "/dev/fake0";
    fields.target.size_bytes = kDiskSize;
    fields.bytes_total = image_.size();
    fields.sha256 = session_test::sha256_hex(image_);
    return job::control_frame(job::open_write_message(fields));
  }
  // The image in two data frames of 8 KiB.
  std::string image_frames() const {
    return job::data_frame(std::string_view(image_).substr(0, kImageSize / 2)) +
           job::data_frame(std::string_view(image_).substr(kImageSize / 2));
  }

  static UniqueFd temporary_file(const char* name) {
    std::string path = (std::filesystem::temp_directory_path() / name).string();
    UniqueFd file(::mkstemp(path.data()));
    ::unlink(path.c_str());
    return file;
  }

  // Runs the session over `input` and returns its result; the event lines
  // land in `lines_`.
  Result<void> serve(const std::string& input) {
    UniqueFd in = temporary_file("serve-in-XXXXXX");
    EXPECT_EQ(::write(in.get(), input.data(), input.size()),
              static_cast<ssize_t>(input.size()));
    ::lseek(in.get(), 0, SEEK_SET);
    return serve_fd(std::move(in), temporary_file("serve-out-XXXXXX"));
  }

  // The same over an input descriptor the test may still be writing to, with
  // an optional wake pipe for the session's input; `out` is a file.
  Result<void> serve_fd(UniqueFd in, UniqueFd out, int wake_read_fd = -1,
                        WakeSource wake = {}) {
    UniqueFd out_reader(::dup(out.get()));
    Result<void> result;
    {
      BufferedOutput output = BufferedOutput::over_fd(std::move(out));
      auto disk = disk_;
      SessionServices services{
          .open_transaction = [disk](const ClientMessage& request,
                                     CancelFlag flag) -> Result<HeldTransaction> {
            return HeldTransaction::from_open_request(
                std::get<OpenWriteRequest>(request.payload),
                testing::FaultInjectingDevice::make(disk), std::move(flag));
          },
          .cancel_flag = std::make_shared<std::atomic<bool>>(false),
          .install_cancel_handlers = {},
          .wake_input = std::move(wake),
          .maintenance_lease_id = std::string(64, 'a'),
          .clock = &clock_,
          .confinement = {}};
      result = serve_device_session(BufferedInput::over_fd(std::move(in), wake_read_fd),
                                    output, std::move(services));
    }
    std::string text;
    char buffer[4096];
    ssize_t count;
    while ((count = ::pread(out_reader.get(), buffer, sizeof(buffer),
                            static_cast<off_t>(text.size()))) > 0) {
      text.append(buffer, static_cast<std::size_t>(count));
    }
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      if (!line.starts_with(R"({"event":"progress")")) {
        lines_.push_back(session_test::mask_variable_values(line));
      }
    }
    return result;
  }

  std::string release(const std::string& id) const {
    return job::control_frame(job::simple_message("release", id));
  }

  std::string image_;
  std::shared_ptr<testing::FakeDisk> disk_;
  testing::FakeClock clock_;
  std::vector<std::string> lines_;
};

std::string released_line(const std::string& id) {
  return header("released") + R"(,"operationId":")" + id +
         R"(","flushCompleted":true,"safeToRemove":true,"improperRemovalClueExpected":false})";
}

TEST_F(ServeSessionTest, ReleaseWithRefusedEject_DetachConfirmedOnThirdPoll) {
  disk_->refuse_eject = true;
  disk_->detach_confirmed_on_poll = 3;
  auto result = serve(open_write() + image_frames() + job::end_frame() + release("rel"));
  ASSERT_TRUE(result) << result.error();
  ASSERT_EQ(lines_.size(), 3u);
  EXPECT_TRUE(lines_[0].starts_with(header("ready")));
  EXPECT_TRUE(lines_[1].starts_with(header("written")));
  EXPECT_EQ(lines_[2], released_line("rel"));
  EXPECT_EQ(disk_->detach_polls, 3);
  EXPECT_EQ(clock_.sleeps.size(), 2u);
  EXPECT_EQ(std::string(disk_->bytes.begin(), disk_->bytes.begin() + kImageSize), image_);
}

TEST_F(ServeSessionTest, ReleaseNeverConfirmed_FailsAfterTheWaitAndKeepsSession) {
  disk_->refuse_eject = true;
  auto result = serve(open_write() + image_frames() + job::end_frame() + release("rel"));
  // The release failed and the session stayed; then the application ended
  // the session, having heard why: the helper ends without a further word.
  ASSERT_TRUE(result) << result.error();
  ASSERT_EQ(lines_.size(), 3u);
  EXPECT_TRUE(lines_[2].starts_with(
      error_line("rel", "SAFE_RELEASE_FAILED",
                 "Could not physically eject the exact held target, and removal was not "
                 "confirmed: ",
                 {}, true)
          .substr(0, 200)));
  EXPECT_TRUE(lines_[2].ends_with(R"(,"bytesWritten":16384,"sessionRetained":true})"));
  EXPECT_EQ(clock_.sleeps.size(), 240u);  // 60 s of 250 ms polls, on the fake clock
}

TEST_F(ServeSessionTest, CapacityMismatch_OpenErrorEventAndNoReady) {
  disk_->reported_capacity = kDiskSize - 1;
  auto result = serve(open_write());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code(), codes::kDeviceNotRemovable);
  ASSERT_EQ(lines_.size(), 1u);
  EXPECT_EQ(lines_[0], error_line({}, "DEVICE_NOT_REMOVABLE",
                                  "The held target capacity does not match the confirmed "
                                  "device.",
                                  {}, false));
}

TEST_F(ServeSessionTest, WriteFailsMidImage_DrainsToAbortThenServesRelease) {
  disk_->write_faults.push_back({.offset = 0});
  auto result = serve(open_write() + image_frames() + job::end_frame() +
                      job::abort_frame() + release("rel"));
  ASSERT_TRUE(result) << result.error();
  ASSERT_EQ(lines_.size(), 4u);
  EXPECT_TRUE(lines_[1].starts_with(
      header("error") + R"(,"ok":false,"errorCode":"WRITE_FAILED",)"
                        R"("errorMessage":"The stick failed to store data at 0 B )"))
      << lines_[1];
  EXPECT_TRUE(lines_[1].ends_with(R"(,"bytesWritten":0,"sessionRetained":false})"))
      << lines_[1];
  EXPECT_TRUE(
      lines_[2].starts_with(header("sourceAborted") + R"(,"errorCode":"WRITE_FAILED",)"))
      << lines_[2];
  EXPECT_TRUE(lines_[2].ends_with(R"(,"bytesWritten":0,"sessionRetained":true})"));
  EXPECT_EQ(lines_[3], released_line("rel"));
}

TEST_F(ServeSessionTest, WriteFailsAndStreamEndsWithoutAbort_EndsWithImageMissing) {
  disk_->write_faults.push_back({.offset = 0});
  auto result = serve(open_write() + image_frames());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code(), codes::kImageMissing);
  EXPECT_EQ(result.error().message(),
            "Could not resynchronize the canceled source stream: input ended early");
  ASSERT_EQ(lines_.size(), 2u);  // ready and the error; no sourceAborted
  EXPECT_TRUE(lines_[1].ends_with(R"("sessionRetained":false})"));
}

// The source reader runs ahead of the device: it takes the abort frame while
// the first write is still failing. The failure is reported all the same,
// before the abort, as a write that met the abort only in its drain.
TEST_F(ServeSessionTest, WriteFailsWhileAbortIsReadAhead_ReportsErrorThenAbort) {
  disk_->write_faults.push_back({.offset = 0});
  disk_->on_call = [](testing::CallKind kind) {
    if (kind == testing::CallKind::kWrite) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  };
  auto result =
      serve(open_write() + job::data_frame(std::string_view(image_).substr(0, 4096)) +
            job::abort_frame() + release("rel"));
  ASSERT_TRUE(result) << result.error();
  ASSERT_EQ(lines_.size(), 4u);
  EXPECT_TRUE(lines_[1].starts_with(header("error") +
                                    R"(,"ok":false,"errorCode":"WRITE_FAILED",)"))
      << lines_[1];
  EXPECT_TRUE(
      lines_[2].starts_with(header("sourceAborted") + R"(,"errorCode":"WRITE_FAILED",)"))
      << lines_[2];
  EXPECT_EQ(lines_[3], released_line("rel"));
}

// A device bound to the session's thread is served while the session waits
// for the next command, so a platform request (a macOS claim release) is
// answered however long the application takes.
TEST_F(ServeSessionTest, ThreadBoundDevice_ServedWhileWaitingForACommand) {
  disk_->bound_to_opening_thread = true;
  int input[2];
  ASSERT_EQ(::pipe(input), 0);
  UniqueFd input_write(input[1]);
  const std::string head = open_write() + image_frames() + job::end_frame();
  ASSERT_EQ(::write(input_write.get(), head.data(), head.size()),
            static_cast<ssize_t>(head.size()));
  std::thread application([&] {
    // Holds back the release until the device was served (or gives up
    // after a minute, failing the check below).
    for (int wait = 0; wait < 6000 && disk_->platform_requests_served.load() == 0;
         ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const std::string rest = release("rel");
    EXPECT_EQ(::write(input_write.get(), rest.data(), rest.size()),
              static_cast<ssize_t>(rest.size()));
    input_write.reset();
  });
  auto result = serve_fd(UniqueFd(input[0]), temporary_file("serve-out-XXXXXX"));
  application.join();
  ASSERT_TRUE(result) << result.error();
  EXPECT_GT(disk_->platform_requests_served.load(), 0);
  EXPECT_EQ(lines_.back(), released_line("rel"));
}

// An application that holds back its next frame until it hears how the
// write went: the failure is reported while the source reader waits for
// input, and the abort sent after it lets the session go on.
// A device bound to the session's thread is served while the session waits
// for that abort.
TEST_F(ServeSessionTest, WriteFailsWhileInputStalls_ErrorComesBeforeMoreInput) {
  disk_->write_faults.push_back({.offset = 0});
  disk_->bound_to_opening_thread = true;
  int input[2], wake[2];
  ASSERT_EQ(::pipe2(input, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(wake, O_CLOEXEC | O_NONBLOCK), 0);
  UniqueFd input_write(input[1]), wake_read(wake[0]), wake_write(wake[1]);
  UniqueFd out = temporary_file("serve-out-XXXXXX");
  UniqueFd out_watch(::dup(out.get()));
  const std::string head =
      open_write() + job::data_frame(std::string_view(image_).substr(0, 4096));
  ASSERT_EQ(::write(input_write.get(), head.data(), head.size()),
            static_cast<ssize_t>(head.size()));
  bool error_before_abort = false;
  bool served_before_abort = false;
  std::thread application([&] {
    for (int wait = 0; wait < 500 && !error_before_abort; ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      char text[8192] = {};
      const ssize_t count = ::pread(out_watch.get(), text, sizeof text - 1, 0);
      error_before_abort =
          count > 0 && std::strstr(text, R"({"event":"error")") != nullptr;
    }
    const int served = disk_->platform_requests_served.load();
    for (int wait = 0; wait < 6000 && !served_before_abort; ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      served_before_abort = disk_->platform_requests_served.load() > served;
    }
    const std::string rest = job::abort_frame() + release("rel");
    EXPECT_EQ(::write(input_write.get(), rest.data(), rest.size()),
              static_cast<ssize_t>(rest.size()));
    input_write.reset();
  });
  auto result = serve_fd(UniqueFd(input[0]), std::move(out), wake_read.get(), [&] {
    const char byte = 1;
    EXPECT_EQ(::write(wake_write.get(), &byte, 1), 1);
  });
  application.join();
  ASSERT_TRUE(result) << result.error();
  EXPECT_TRUE(error_before_abort);
  EXPECT_TRUE(served_before_abort);
  ASSERT_EQ(lines_.size(), 4u);
  EXPECT_TRUE(
      lines_[2].starts_with(header("sourceAborted") + R"(,"errorCode":"WRITE_FAILED",)"))
      << lines_[2];
  EXPECT_EQ(lines_[3], released_line("rel"));
}

}  // namespace
}  // namespace ravik
