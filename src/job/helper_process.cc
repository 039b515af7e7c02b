#include "job/helper_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <utility>

#include "io/eintr.h"
#include "io/system_descriptors.h"
#include "io/write_all.h"
#include "job/signal_relay.h"

namespace ravik::job {
namespace {

constexpr int kInputPipeBytes = 1024 * 1024;
// How long a given-up helper, already killed, may take to end before it is
// left to end on its own: a process stuck in the kernel ends only when its
// I/O returns, which may take minutes.
constexpr int kGivenUpReapMs = 250;
constexpr int kGivenUpReapStepMs = 10;

Result<std::pair<UniqueFd, UniqueFd>> make_pipe() {
  auto ends = cloexec_pipe();
  if (!ends) {
    return fail(
        HelperError::io(codes::kUnknown, "Could not create a pipe to the helper", errno));
  }
  return std::move(*ends);
}

// The helper's last words when it fails: "CODE: message", the code in
// upper-case letters and underscores.
bool looks_like_failure_line(std::string_view line) {
  const std::size_t colon = line.find(": ");
  if (colon == 0 || colon == std::string_view::npos) return false;
  for (const char c : line.substr(0, colon)) {
    if (!(std::isupper(static_cast<unsigned char>(c)) || c == '_')) return false;
  }
  return true;
}

// The child's last word before _exit: why the helper did not start. Its
// result is ignored: the child can do nothing about a lost report, and the
// parent then sees the helper end at once (status 127), a failure all the
// same. Allocates nothing, so that it is safe between fork and exec.
void report_start_failure(int fd, int error) {
  const auto* bytes = reinterpret_cast<const char*>(&error);
  std::size_t left = sizeof(error);
  while (left > 0) {
    const ssize_t count = retry_on_eintr([&] { return ::write(fd, bytes, left); });
    if (count <= 0) return;
    bytes += count;
    left -= static_cast<std::size_t>(count);
  }
}

}  // namespace

Result<HelperProcess> HelperProcess::start(const std::string& path) {
  return start(path, HelperLaunch{});
}

Result<HelperProcess> HelperProcess::start(const std::string& path, HelperLaunch launch) {
  std::vector<char*> argv = {const_cast<char*>(path.c_str())};
  for (std::string& argument : launch.arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  RAVIK_ASSIGN_OR_RETURN(auto input, make_pipe());
  // The image travels through this pipe in 4 MiB frames; a larger pipe
  // means fewer switches between the two processes. Refusal is harmless.
  (void)::fcntl(input.second.get(), F_SETPIPE_SZ, kInputPipeBytes);
  RAVIK_ASSIGN_OR_RETURN(auto output, make_pipe());
  // The helper's standard error passes through this process, which holds
  // back a final failure line that the job renders itself.
  RAVIK_ASSIGN_OR_RETURN(auto errors, make_pipe());
  (void)::fcntl(errors.first.get(), F_SETFL, O_NONBLOCK);
  // Reports a failed exec to the parent: closed unused on success (CLOEXEC).
  RAVIK_ASSIGN_OR_RETURN(auto exec_report, make_pipe());
  auto give_up = cloexec_pipe(/*nonblocking=*/true);
  if (!give_up) {
    return fail(
        HelperError::io(codes::kUnknown, "Could not create a pipe to the helper", errno));
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    return fail(HelperError::io(codes::kUnknown, "Could not start the helper", errno));
  }
  if (pid == 0) {
    // Only async-signal-safe calls from here on.
    if ((launch.own_process_group && ::setpgid(0, 0) != 0) ||
        ::dup2(input.first.get(), STDIN_FILENO) < 0 ||
        ::dup2(output.second.get(), STDOUT_FILENO) < 0 ||
        ::dup2(errors.second.get(), STDERR_FILENO) < 0) {
      report_start_failure(exec_report.second.get(), errno);
      ::_exit(127);
    }
    ::execv(path.c_str(), argv.data());
    report_start_failure(exec_report.second.get(), errno);
    ::_exit(127);
  }
  if (launch.own_process_group) {
    // Also from here, so that the group exists before the terminal is lent
    // to it, whichever process runs first.
    (void)::setpgid(pid, pid);
    if (launch.terminal) launch.terminal->lend_to(pid);
  }
  exec_report.second.reset();
  int exec_error = 0;
  const ssize_t got = retry_on_eintr(
      [&] { return ::read(exec_report.first.get(), &exec_error, sizeof(exec_error)); });
  if (got == sizeof(exec_error)) {
    int status = 0;
    (void)retry_on_eintr([&] { return ::waitpid(pid, &status, 0); });
    if (launch.terminal) launch.terminal->take_back();
    return fail(HelperError::io(codes::kUnknown, "Could not execute the helper " + path,
                                exec_error));
  }
  signal_relay::add(pid);
  // Our ends only: a write or read waits in poll(), beside the give-up pipe.
  (void)::fcntl(input.second.get(), F_SETFL, O_NONBLOCK);
  (void)::fcntl(output.first.get(), F_SETFL, O_NONBLOCK);
  return HelperProcess(pid, std::move(input.second), std::move(output.first),
                       std::move(errors.first), std::move(launch.terminal),
                       launch.elevated, std::move(*give_up));
}

HelperProcess::HelperProcess(HelperProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      input_(std::move(other.input_)),
      output_(std::move(other.output_)),
      errors_(std::move(other.errors_)),
      pending_(std::move(other.pending_)),
      error_pending_(std::move(other.error_pending_)),
      held_failure_line_(std::exchange(other.held_failure_line_, std::nullopt)),
      output_ended_(other.output_ended_),
      status_(other.status_),
      terminal_(std::move(other.terminal_)),
      elevated_(other.elevated_),
      give_up_read_(std::move(other.give_up_read_)),
      give_up_write_(std::move(other.give_up_write_)) {}

HelperProcess::~HelperProcess() {
  if (pid_ >= 0 && !status_) {
    input_.reset();
    output_.reset();
    (void)wait();
  }
  // Nobody said they showed it: the user still learns why the helper ended.
  pass_failure_line_unless_in("");
}

void HelperProcess::relay_errors() {
  if (!errors_) return;
  char buffer[4096];
  bool ended = false;
  for (;;) {
    const ssize_t count =
        retry_on_eintr([&] { return ::read(errors_.get(), buffer, sizeof(buffer)); });
    // EAGAIN is all there is for now; any other failure ends the relay, so
    // that a broken pipe cannot keep poll() waking.
    if (count <= 0) {
      ended = count == 0 || errno != EAGAIN;
      break;
    }
    error_pending_.append(buffer, static_cast<std::size_t>(count));
  }
  std::size_t newline;
  while ((newline = error_pending_.find('\n')) != std::string::npos ||
         (ended && !error_pending_.empty())) {
    const std::size_t length =
        newline == std::string::npos ? error_pending_.size() : newline;
    std::string line = error_pending_.substr(0, length);
    error_pending_.erase(0, std::min(error_pending_.size(), length + 1));
    pass_failure_line_unless_in("");
    if (looks_like_failure_line(line)) {
      held_failure_line_ = std::move(line);
    } else {
      line += '\n';
      (void)ravik::write_all(STDERR_FILENO, line);
    }
  }
  if (ended) errors_.reset();
}

void HelperProcess::pass_failure_line_unless_in(std::string_view shown) {
  if (!held_failure_line_) return;
  if (shown.empty() || shown.find(*held_failure_line_) == std::string_view::npos) {
    (void)ravik::write_all(STDERR_FILENO, *held_failure_line_ + "\n");
  }
  held_failure_line_.reset();
}

bool HelperProcess::given_up() const {
  pollfd fd{give_up_read_.get(), POLLIN, 0};
  return give_up_read_ && ::poll(&fd, 1, 0) > 0;
}

bool HelperProcess::await(int fd, short events) {
  pollfd fds[2] = {{fd, events, 0}, {give_up_read_.get(), POLLIN, 0}};
  if (retry_on_eintr([&] { return ::poll(fds, 2, -1); }) < 0) return false;
  return fds[1].revents == 0;
}

Result<void> HelperProcess::write_frame(std::string_view head, std::string_view payload) {
  if (!input_) return fail(codes::kUnknown, "The helper's input is already closed.");
  // One writev per round: the payload goes from the caller's buffer to the
  // pipe without being copied behind its head first.
  iovec parts[2] = {{const_cast<char*>(head.data()), head.size()},
                    {const_cast<char*>(payload.data()), payload.size()}};
  std::size_t first = 0;
  while (first < 2 && parts[first].iov_len == 0) ++first;
  while (first < 2) {
    if (given_up()) {
      return fail(codes::kUnknown, "The helper was given up before it took the data.");
    }
    const ssize_t count = retry_on_eintr([&] {
      return ::writev(input_.get(), parts + first, static_cast<int>(2 - first));
    });
    if (count < 0 && errno == EAGAIN) {
      if (!await(input_.get(), POLLOUT)) {
        return fail(codes::kUnknown, "The helper was given up before it took the data.");
      }
      continue;
    }
    if (count <= 0) {
      return fail(HelperError::io(codes::kUnknown, "Could not write to the helper",
                                  count < 0 ? errno : EIO));
    }
    auto left = static_cast<std::size_t>(count);
    while (first < 2 && left >= parts[first].iov_len) {
      left -= parts[first].iov_len;
      ++first;
    }
    if (first < 2) {
      parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + left;
      parts[first].iov_len -= left;
    }
  }
  return {};
}

Result<void> HelperProcess::write_all(std::string_view bytes) {
  return write_frame(bytes, {});
}

std::optional<std::string> HelperProcess::read_line() {
  while (true) {
    const std::size_t newline = pending_.find('\n');
    if (newline != std::string::npos) {
      std::string line = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      return line;
    }
    if (output_ended_ || !output_) return std::nullopt;
    // Either pipe may fill first; a helper blocked on its standard error
    // would never finish the line awaited here.
    pollfd fds[3] = {{output_.get(), POLLIN, 0},
                     {give_up_read_.get(), POLLIN, 0},
                     {errors_ ? errors_.get() : -1, POLLIN, 0}};
    if (retry_on_eintr([&] { return ::poll(fds, 3, -1); }) < 0 || fds[1].revents != 0) {
      output_ended_ = true;
      return std::nullopt;
    }
    if (fds[2].revents != 0) relay_errors();
    if (fds[0].revents == 0) continue;
    char buffer[8192];
    const ssize_t count =
        retry_on_eintr([&] { return ::read(output_.get(), buffer, sizeof(buffer)); });
    if (count < 0 && errno == EAGAIN) continue;
    // Output, or its end: sudo is done with the terminal.
    take_back_terminal();
    if (count <= 0) {
      output_ended_ = true;
      return std::nullopt;
    }
    pending_.append(buffer, static_cast<std::size_t>(count));
  }
}

int HelperProcess::wait() {
  if (status_) return *status_;
  // Out of the relay while the ended child still holds its pid: once reaped,
  // the pid may name an unrelated process.
  siginfo_t ended{};
  if (given_up()) {
    // Killed already; once it ends it is reaped here, and a helper that
    // cannot end yet is not waited for.
    for (int waited = 0; waited < kGivenUpReapMs; waited += kGivenUpReapStepMs) {
      ended.si_pid = 0;
      if (retry_on_eintr([&] {
            return ::waitid(P_PID, static_cast<id_t>(pid_), &ended,
                            WEXITED | WNOWAIT | WNOHANG);
          }) < 0 ||
          ended.si_pid != 0) {
        break;
      }
      ::usleep(kGivenUpReapStepMs * 1000);
    }
    if (ended.si_pid == 0) {
      signal_relay::remove(pid_);
      take_back_terminal();
      status_ = 128 + SIGKILL;
      return *status_;
    }
  } else {
    (void)retry_on_eintr([&] {
      return ::waitid(P_PID, static_cast<id_t>(pid_), &ended, WEXITED | WNOWAIT);
    });
  }
  signal_relay::remove(pid_);
  int status = 0;
  if (retry_on_eintr([&] { return ::waitpid(pid_, &status, 0); }) < 0) {
    status_ = 127;
    return *status_;
  }
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  // All the helper wrote is in the pipe now; a descendant that kept the pipe
  // open must not hold this wait, hence no blocking read.
  relay_errors();
  // Only now: taken back while sudo still prompted, the terminal would stop
  // sudo for good and this wait would never end.
  take_back_terminal();
  return *status_;
}

void give_up_helper(int fd) {
  const char byte = 0;
  // Full already means given up already.
  (void)!::write(fd, &byte, 1);
}

}  // namespace ravik::job
