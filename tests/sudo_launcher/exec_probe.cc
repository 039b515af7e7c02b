// Runs exec_in_own_process_group on a program the test chooses, starting
// from the helper's state (SIGPIPE ignored), so the exec path can be driven
// to success and to failure without touching /usr/bin/sudo. On failure it
// prints the helper's failure line and whether SIGPIPE is ignored again.
//
//   sudo_exec_probe PROGRAM [ARGS...]
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string_view>
#include <vector>

#include "sudo_launcher/sudo_launcher.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  ::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string_view> arguments(argv + 2, argv + argc);
  const ravik::Result<void> result =
      ravik::sudo_launcher::exec_in_own_process_group(argv[1], arguments);
  if (result) return 3;  // cannot happen: success does not return
  struct sigaction current {};
  ::sigaction(SIGPIPE, nullptr, &current);
  std::printf("%s: %s\nSIGPIPE %s\n", std::string(result.error().code().text()).c_str(),
              result.error().message().c_str(),
              current.sa_handler == SIG_IGN ? "ignored" : "not ignored");
  return 1;
}
