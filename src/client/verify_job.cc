#include "client/verify_job.h"

#include "client/event_pump.h"
#include "client/image_digest.h"
#include "client/progress_display.h"
#include "client/target_description.h"

namespace ravik::client {
namespace {

int refuse(const JobStreams& streams, const std::string& text) {
  write_text_line(streams.err_fd, "ravik-device-client: " + text);
  return 1;
}

}  // namespace

int run_verify_job(const ClientOptions& options, const JobStreams& streams) {
  auto size = image_size(options.image_path);
  if (!size) return refuse(streams, size.error().message());
  std::string expected;
  if (options.sha256) {
    expected = *options.sha256;
  } else {
    auto digest = digest_image(options.image_path);
    if (!digest) return refuse(streams, digest.error().message());
    expected = digest->sha256;
  }
  auto target = describe_target(options.target_path);
  if (!target) return refuse(streams, target.error().message());
  if (*size > target->fields.size_bytes) {
    return refuse(streams, "the image (" + format_bytes(*size) + ") is larger than " +
                               target->fields.device_path + " (" +
                               format_bytes(target->fields.size_bytes) + ").");
  }
  auto read = digest_file_prefix(target->fields.device_path, *size, "target");
  if (!read) return refuse(streams, read.error().message());
  if (read->size_bytes != *size) {
    return refuse(streams, "the target ended before the image's length.");
  }
  if (read->sha256 != expected) {
    return refuse(streams, "VERIFY_MISMATCH: the target's first " + format_bytes(*size) +
                               " hash to " + read->sha256 + ", the image to " + expected +
                               ".");
  }
  write_text_line(streams.out_fd, "Verified: target sha256 " + read->sha256 +
                                      " matches (" + format_bytes(*size) + ")");
  return 0;
}

}  // namespace ravik::client
