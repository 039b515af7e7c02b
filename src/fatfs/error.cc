#include "fatfs/error.h"

namespace fatfs {

std::string_view kind_name(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kNotFound:
      return "not-found";
    case ErrorKind::kInvalidInput:
      return "invalid-input";
    case ErrorKind::kCorrupt:
      return "corrupt";
    case ErrorKind::kNoSpace:
      return "no-space";
    case ErrorKind::kIo:
      return "io";
    case ErrorKind::kCanceled:
      return "canceled";
  }
  return "io";
}

}  // namespace fatfs
