#include "job/job_options.h"

namespace ravik::job {

std::string_view end_command_type(EndCommand end) {
  switch (end) {
    case EndCommand::kRelease:
      return "release";
    case EndCommand::kEject:
      return "eject";
    case EndCommand::kClose:
      return "close";
  }
  return "release";
}

}  // namespace ravik::job
