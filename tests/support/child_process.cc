#include "support/child_process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace ravik::harness {
namespace {

using Clock = std::chrono::steady_clock;

HelperError os_failure(std::string_view context, int os_error) {
  return HelperError::io(codes::kUnknown, context, os_error);
}

// Milliseconds left until `deadline` for poll(), never negative.
int remaining_ms(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  if (left.count() <= 0) return 0;
  return left.count() > 1'000'000 ? 1'000'000 : static_cast<int>(left.count());
}

Result<UniqueFd> memory_file(const char* name) {
  const int fd = ::memfd_create(name, MFD_CLOEXEC);
  if (fd < 0) return fail(os_failure("memfd_create", errno));
  return UniqueFd(fd);
}

Result<void> write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return fail(os_failure("Could not write to the child", errno));
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return {};
}

Result<UniqueFd> fixed_input(std::string_view bytes) {
  RAVIK_ASSIGN_OR_RETURN(UniqueFd file, memory_file("child-stdin"));
  RAVIK_RETURN_IF_ERROR(write_all(file.get(), bytes));
  if (::lseek(file.get(), 0, SEEK_SET) != 0) return fail(os_failure("lseek", errno));
  return file;
}

struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;
};

Result<Pipe> make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return fail(os_failure("pipe2", errno));
  return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// "NAME=value" entries of the test's environment with `extra` added, later
// entries replacing earlier ones of the same name.
std::vector<std::string> child_environment(const std::vector<std::string>& extra) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) result.emplace_back(*entry);
  for (const std::string& added : extra) {
    const std::string name = added.substr(0, added.find('=') + 1);
    std::erase_if(
        result, [&](const std::string& existing) { return existing.starts_with(name); });
    result.push_back(added);
  }
  return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (std::string& text : strings) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

// What the child reports through the exec-status pipe when it cannot exec.
struct StartFailure {
  int stage;
  int os_error;
};

enum Stage : int {
  kStageStreams = 1,
  kStageGroups,
  kStageGid,
  kStageUid,
  kStageChdir,
  kStageExec,
};

const char* stage_context(int stage) {
  switch (stage) {
    case kStageStreams:
      return "Could not set up the child's standard streams";
    case kStageGroups:
      return "Could not drop the child's supplementary groups";
    case kStageGid:
      return "Could not switch the child's group";
    case kStageUid:
      return "Could not switch the child's user";
    case kStageChdir:
      return "Could not change the child's working directory";
    default:
      return "Could not execute the child";
  }
}

// Makes `fd` the descriptor `target` of the child, inheritable across exec.
bool install_stream(int fd, int target) {
  if (fd == target) return ::fcntl(fd, F_SETFD, 0) == 0;
  return ::dup2(fd, target) == target;
}

// Runs in the child between fork and exec: async-signal-safe calls only,
// because the test process may have other threads.
[[noreturn]] void become_child(const std::string& path, char* const* argv,
                               char* const* envp, int stdin_fd, int stdout_fd,
                               int stderr_fd, const ChildOptions& options,
                               int status_fd) {
  int stage = kStageStreams;
  // Ignored signals stay ignored across exec and the signal mask is
  // inherited; the child starts as a freshly launched program would.
  sigset_t empty;
  sigemptyset(&empty);
  sigprocmask(SIG_SETMASK, &empty, nullptr);
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; ++signal) {
    if (signal != SIGKILL && signal != SIGSTOP)
      sigaction(signal, &default_action, nullptr);
  }
  bool ok = install_stream(stdin_fd, STDIN_FILENO) &&
            install_stream(stdout_fd, STDOUT_FILENO) &&
            install_stream(stderr_fd, STDERR_FILENO) &&
            ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0;
  if (ok && (options.run_as_gid || options.run_as_uid)) {
    stage = kStageGroups;
    ok = ::setgroups(0, nullptr) == 0;
  }
  if (ok && options.run_as_gid) {
    stage = kStageGid;
    ok = ::setresgid(*options.run_as_gid, *options.run_as_gid, *options.run_as_gid) == 0;
  }
  if (ok && options.run_as_uid) {
    stage = kStageUid;
    ok = ::setresuid(*options.run_as_uid, *options.run_as_uid, *options.run_as_uid) == 0;
  }
  if (ok && !options.working_directory.empty()) {
    stage = kStageChdir;
    ok = ::chdir(options.working_directory.c_str()) == 0;
  }
  if (ok) {
    stage = kStageExec;
    ::execve(path.c_str(), argv, envp);
  }
  const StartFailure failure{stage, errno};
  (void)!::write(status_fd, &failure, sizeof(failure));
  ::_exit(127);
}

// Reads the exec-status pipe: end of file means the exec succeeded.
std::optional<StartFailure> read_start_failure(int fd) {
  StartFailure failure{};
  ssize_t got;
  do {
    got = ::read(fd, &failure, sizeof(failure));
  } while (got < 0 && errno == EINTR);
  if (got == static_cast<ssize_t>(sizeof(failure))) return failure;
  return std::nullopt;
}

int wait_for(pid_t pid) {
  int raw = 0;
  while (::waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
  }
  return raw;
}

ExitStatus decode(int raw) {
  if (WIFSIGNALED(raw)) return ExitStatus::killed_by(WTERMSIG(raw));
  return ExitStatus::exited_with(WEXITSTATUS(raw));
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const ExitStatus& status) {
  if (status.exited()) return out << "exit status " << status.exit_code;
  return out << "signal " << status.signal << " (" << ::strsignal(status.signal) << ")";
}

Result<ChildProcess> ChildProcess::start(const std::string& path,
                                         const std::vector<std::string>& args,
                                         const ChildOptions& options) {
  std::vector<std::string> argv_strings{path};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<std::string> env_strings = child_environment(options.extra_environment);
  const std::vector<char*> argv = pointers(argv_strings);
  const std::vector<char*> envp = pointers(env_strings);

  UniqueFd child_stdin;
  UniqueFd parent_stdin;
  if (options.stdin_mode == StdinMode::kFixed) {
    RAVIK_ASSIGN_OR_RETURN(child_stdin, fixed_input(options.stdin_bytes));
  } else {
    RAVIK_ASSIGN_OR_RETURN(Pipe input, make_pipe());
    child_stdin = std::move(input.read_end);
    parent_stdin = std::move(input.write_end);
  }
  RAVIK_ASSIGN_OR_RETURN(Pipe output, make_pipe());
  RAVIK_ASSIGN_OR_RETURN(UniqueFd stderr_file, memory_file("child-stderr"));
  RAVIK_ASSIGN_OR_RETURN(Pipe status, make_pipe());

  const pid_t pid = ::fork();
  if (pid < 0) return fail(os_failure("fork", errno));
  if (pid == 0) {
    become_child(path, argv.data(), envp.data(), child_stdin.get(),
                 output.write_end.get(), stderr_file.get(), options,
                 status.write_end.get());
  }
  status.write_end.reset();
  child_stdin.reset();
  output.write_end.reset();

  if (const auto failure = read_start_failure(status.read_end.get())) {
    wait_for(pid);
    return fail(HelperError::io(codes::kUnknown, stage_context(failure->stage),
                                failure->os_error));
  }
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) {
    const int saved = errno;
    ::kill(pid, SIGKILL);
    wait_for(pid);
    return fail(os_failure("pidfd_open", saved));
  }
  ::fcntl(output.read_end.get(), F_SETFL, O_NONBLOCK);
  return ChildProcess(pid, UniqueFd(pidfd), std::move(parent_stdin),
                      std::move(output.read_end), std::move(stderr_file));
}

ChildProcess::ChildProcess(pid_t pid, UniqueFd pidfd, UniqueFd stdin_pipe,
                           UniqueFd stdout_pipe, UniqueFd stderr_file)
    : pid_(pid),
      pidfd_(std::move(pidfd)),
      stdin_(std::move(stdin_pipe)),
      stdout_(std::move(stdout_pipe)),
      stderr_(std::move(stderr_file)) {}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      pidfd_(std::move(other.pidfd_)),
      stdin_(std::move(other.stdin_)),
      stdout_(std::move(other.stdout_)),
      stderr_(std::move(other.stderr_)),
      stdout_buffer_(std::move(other.stdout_buffer_)),
      status_(std::exchange(other.status_, std::nullopt)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    kill_and_reap();
    pid_ = std::exchange(other.pid_, -1);
    pidfd_ = std::move(other.pidfd_);
    stdin_ = std::move(other.stdin_);
    stdout_ = std::move(other.stdout_);
    stderr_ = std::move(other.stderr_);
    stdout_buffer_ = std::move(other.stdout_buffer_);
    status_ = std::exchange(other.status_, std::nullopt);
  }
  return *this;
}

ChildProcess::~ChildProcess() { kill_and_reap(); }

void ChildProcess::kill_and_reap() {
  if (pid_ <= 0 || status_) return;
  ::kill(pid_, SIGKILL);
  reap();
}

void ChildProcess::reap() { status_ = decode(wait_for(pid_)); }

Result<void> ChildProcess::write_stdin(std::string_view bytes) {
  if (!stdin_.valid())
    return fail(os_failure("Could not write to the child's input", EBADF));
  // A write to a pipe whose reader is gone raises SIGPIPE in this thread;
  // keep it blocked, write, and discard the pending signal so that the test
  // sees EPIPE instead of dying.
  sigset_t pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &pipe_only, &previous);
  Result<void> result = write_all(stdin_.get(), bytes);
  const timespec zero{};
  sigset_t pending;
  sigpending(&pending);
  if (sigismember(&pending, SIGPIPE) == 1 && sigismember(&previous, SIGPIPE) == 0) {
    sigtimedwait(&pipe_only, nullptr, &zero);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return result;
}

void ChildProcess::close_stdin() { stdin_.reset(); }

void ChildProcess::read_available_stdout() {
  char chunk[65536];
  while (stdout_.valid()) {
    const ssize_t got = ::read(stdout_.get(), chunk, sizeof(chunk));
    if (got > 0) {
      stdout_buffer_.append(chunk, static_cast<std::size_t>(got));
    } else if (got == 0) {
      stdout_.reset();
    } else if (errno != EINTR) {
      // EAGAIN: drained for now. Any other error ends the output as well.
      if (errno != EAGAIN) stdout_.reset();
      return;
    }
  }
}

bool ChildProcess::fill_stdout(Deadline deadline) {
  pollfd entry{stdout_.get(), POLLIN, 0};
  const int ready = ::poll(&entry, 1, remaining_ms(deadline));
  if (ready < 0 && errno == EINTR) return true;
  if (ready <= 0) return false;
  read_available_stdout();
  return true;
}

std::optional<std::string> ChildProcess::read_line(std::chrono::milliseconds timeout) {
  const Deadline deadline = Clock::now() + timeout;
  while (true) {
    if (const auto end = stdout_buffer_.find('\n'); end != std::string::npos) {
      std::string line = stdout_buffer_.substr(0, end);
      stdout_buffer_.erase(0, end + 1);
      return line;
    }
    if (!stdout_.valid() || !fill_stdout(deadline)) return std::nullopt;
  }
}

std::optional<std::string> ChildProcess::read_stdout_to_end(
    std::chrono::milliseconds timeout) {
  const Deadline deadline = Clock::now() + timeout;
  while (stdout_.valid()) {
    if (!fill_stdout(deadline)) return std::nullopt;
  }
  return std::exchange(stdout_buffer_, std::string());
}

std::string ChildProcess::stderr_text() const {
  std::string text;
  char chunk[65536];
  off_t offset = 0;
  while (stderr_.valid()) {
    const ssize_t got = ::pread(stderr_.get(), chunk, sizeof(chunk), offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(chunk, static_cast<std::size_t>(got));
    offset += got;
  }
  return text;
}

Result<void> ChildProcess::send_signal(int signal) {
  if (status_) return fail(os_failure("Could not signal the child", ESRCH));
  // The child is not reaped yet, so its PID cannot have been reused.
  if (::kill(pid_, signal) != 0)
    return fail(os_failure("Could not signal the child", errno));
  return {};
}

std::optional<ExitStatus> ChildProcess::wait(std::chrono::milliseconds timeout) {
  const Deadline deadline = Clock::now() + timeout;
  while (!status_) {
    pollfd entries[2] = {{pidfd_.get(), POLLIN, 0}, {stdout_.get(), POLLIN, 0}};
    const nfds_t count = stdout_.valid() ? 2 : 1;
    const int ready = ::poll(entries, count, remaining_ms(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    if (count == 2 && entries[1].revents != 0) read_available_stdout();
    if (entries[0].revents != 0) reap();
  }
  pidfd_.reset();
  return status_;
}

Result<Completed> run_child(const std::string& path, const std::vector<std::string>& args,
                            const ChildOptions& options,
                            std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  RAVIK_ASSIGN_OR_RETURN(ChildProcess child, ChildProcess::start(path, args, options));
  const auto left = [&] { return std::chrono::milliseconds(remaining_ms(deadline)); };
  const std::optional<ExitStatus> status = child.wait(left());
  if (!status) {
    return fail(
        HelperError(codes::kUnknown, path + " did not end within the time limit."));
  }
  std::optional<std::string> output = child.read_stdout_to_end(left());
  if (!output) {
    return fail(HelperError(codes::kUnknown,
                            path + " left its standard output open after it ended."));
  }
  return Completed{std::move(*output), child.stderr_text(), *status};
}

std::string bin_path(std::string_view name) {
  return std::string(RAVIK_BIN_DIR) + "/" + std::string(name);
}

std::string testing_helper_path() { return bin_path("ravik-unix-device-helper-testing"); }

std::string production_helper_path() { return bin_path("ravik-unix-device-helper"); }

}  // namespace ravik::harness
