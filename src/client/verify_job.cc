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
  auto target = describe_target(options.target_path);
  if (!target) return refuse(streams, target.error().message());
  auto source = open_image_source(options.image_path);
  if (!source) return refuse(streams, source.error().message());
  auto image = measure_image(**source, options.sha256, target->fields.size_bytes);
  if (!image) return refuse(streams, image.error().message());
  const std::uint64_t size = image->size_bytes;
  if (size > target->fields.size_bytes) {
    return refuse(streams, "the image (" + image_size_text(*image) + ") is larger than " +
                               target->fields.device_path + " (" +
                               format_bytes(target->fields.size_bytes) + ").");
  }
  const std::string& expected = image->sha256;
  auto read = digest_file_prefix(target->fields.device_path, size, "target");
  if (!read) return refuse(streams, read.error().message());
  if (read->size_bytes != size) {
    return refuse(streams, "the target ended before the image's length.");
  }
  if (read->sha256 != expected) {
    return refuse(streams, "VERIFY_MISMATCH: the target's first " + format_bytes(size) +
                               " hash to " + read->sha256 + ", the image to " + expected +
                               ".");
  }
  write_text_line(streams.out_fd, "Verified: target sha256 " + read->sha256 +
                                      " matches (" + format_bytes(size) + ")");
  return 0;
}

}  // namespace ravik::client
