// ChildProcess: runs a binary as a child process for end-to-end tests.
//
// The child gets its standard input either as fixed bytes (delivered all at
// once, then end of file) or as a pipe the test keeps writing to and closes
// when it likes. Standard output is a pipe the test reads line by line with a
// time limit; standard error is captured in memory and can be read at any
// time. The child can be signalled, waited for with a time limit, and started
// under another user and group (set in the child before exec) for the cases
// an unprivileged caller must see.
//
// Every descriptor of the test process other than the three standard streams
// is closed in the child, so tests can check what the child itself opens.
// Time limits only bound how long a test waits for something that should
// happen; no result depends on how long anything took.
//
// Thread-compatible: one ChildProcess is used by one thread at a time.
// Objects are move-only; destroying one whose child still runs kills the child
// with SIGKILL and reaps it, so a failing test never leaves processes behind.
#ifndef RAVIK_TESTS_SUPPORT_CHILD_PROCESS_H_
#define RAVIK_TESTS_SUPPORT_CHILD_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error/helper_error.h"
#include "io/unique_fd.h"

namespace ravik::harness {

// Generous enough for a sanitizer build on a loaded machine; only ever a
// bound on waiting for something that is expected to happen.
inline constexpr std::chrono::milliseconds kDefaultTimeout{60'000};

enum class StdinMode {
  // `stdin_bytes` is the whole of standard input; the child sees end of file
  // after it. An empty text is an empty input.
  kFixed,
  // A pipe: the test writes with write_stdin() and ends it with close_stdin().
  kPipe,
};

struct ChildOptions {
  StdinMode stdin_mode = StdinMode::kFixed;
  std::string stdin_bytes;
  // When set, the child drops its supplementary groups and switches to this
  // group and/or user (real, effective and saved) before exec.
  std::optional<gid_t> run_as_gid;
  std::optional<uid_t> run_as_uid;
  // Empty: the test's working directory.
  std::string working_directory;
  // "NAME=value" entries added to (or replacing in) the test's environment.
  std::vector<std::string> extra_environment;

  // Shorthands, chainable on a temporary (designated initializers that leave
  // members out trip -Wmissing-field-initializers):
  //   ChildOptions::piped().as_user(65534, 65534)
  static ChildOptions piped() {
    ChildOptions options;
    options.stdin_mode = StdinMode::kPipe;
    return options;
  }
  static ChildOptions input(std::string bytes) {
    ChildOptions options;
    options.stdin_bytes = std::move(bytes);
    return options;
  }
  ChildOptions& as_user(uid_t uid, gid_t gid) {
    run_as_uid = uid;
    run_as_gid = gid;
    return *this;
  }
  ChildOptions& in_directory(std::string directory) {
    working_directory = std::move(directory);
    return *this;
  }
  ChildOptions& with_env(std::string entry) {
    extra_environment.push_back(std::move(entry));
    return *this;
  }
};

// How a child ended: an exit status or a terminating signal.
struct ExitStatus {
  int exit_code = -1;  // valid when signal == 0
  int signal = 0;

  static ExitStatus exited_with(int code) { return {code, 0}; }
  static ExitStatus killed_by(int signal) { return {-1, signal}; }

  bool exited() const { return signal == 0; }
  friend bool operator==(const ExitStatus&, const ExitStatus&) = default;
  friend std::ostream& operator<<(std::ostream& out, const ExitStatus& status);
};

class ChildProcess {
 public:
  // Starts `path` (no PATH search) with `args` after argument zero, which is
  // `path`. Fails when the binary cannot be executed or the user switch fails;
  // nothing is left running then.
  static Result<ChildProcess> start(const std::string& path,
                                    const std::vector<std::string>& args,
                                    const ChildOptions& options = {});

  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  pid_t pid() const { return pid_; }

  // kPipe only. Writes all of `bytes`; blocks while the pipe is full. A child
  // that closed its input makes this fail (EPIPE) without a SIGPIPE.
  Result<void> write_stdin(std::string_view bytes);
  // Ends the child's input (kPipe); harmless when already closed.
  void close_stdin();

  // The next complete line of standard output without its line feed. Nothing
  // when the time limit passes first, or when output ended; a final fragment
  // without a line feed is left for read_stdout_to_end().
  std::optional<std::string> read_line(
      std::chrono::milliseconds timeout = kDefaultTimeout);
  // Every byte of standard output not returned yet, up to its end. Nothing
  // when the time limit passes before the output ends (the bytes stay).
  std::optional<std::string> read_stdout_to_end(
      std::chrono::milliseconds timeout = kDefaultTimeout);
  // True once the child's standard output reached end of file.
  bool stdout_ended() const { return !stdout_.valid(); }

  // Everything the child wrote to standard error so far.
  std::string stderr_text() const;

  // Sends `signal` to the child (not to its process group).
  Result<void> send_signal(int signal);

  // Waits for the child to end and reaps it; standard output is collected
  // meanwhile so a chatty child cannot block on a full pipe. Nothing when the
  // time limit passes first (the child keeps running). Once the child ended,
  // every call returns the same status.
  std::optional<ExitStatus> wait(std::chrono::milliseconds timeout = kDefaultTimeout);

 private:
  ChildProcess(pid_t pid, UniqueFd pidfd, UniqueFd stdin_pipe, UniqueFd stdout_pipe,
               UniqueFd stderr_file);

  using Deadline = std::chrono::steady_clock::time_point;
  // Reads what standard output has within the deadline; false on time-out.
  bool fill_stdout(Deadline deadline);
  void read_available_stdout();
  void reap();
  void kill_and_reap();

  pid_t pid_ = -1;
  UniqueFd pidfd_;
  UniqueFd stdin_;
  UniqueFd stdout_;
  UniqueFd stderr_;
  std::string stdout_buffer_;
  std::optional<ExitStatus> status_;
};

// The outcome of run_child().
struct Completed {
  std::string stdout_text;
  std::string stderr_text;
  ExitStatus status;
};

// Runs a child to its end. Fails when it cannot start, or when it has not
// ended and closed its standard output within `timeout` (it is killed then).
Result<Completed> run_child(const std::string& path, const std::vector<std::string>& args,
                            const ChildOptions& options = {},
                            std::chrono::milliseconds timeout = kDefaultTimeout);

// Binaries of this build tree.
std::string bin_path(std::string_view name);
// The testing helper (test-only powers, maintenance directory in the build
// tree); what end-to-end tests normally run.
std::string testing_helper_path();
// The installed helper's executable, for what must hold of it too.
std::string production_helper_path();

}  // namespace ravik::harness

#endif  // RAVIK_TESTS_SUPPORT_CHILD_PROCESS_H_
