// Reads an image through the client's ImageSource to its end, as a write
// streams it (source-frame sized reads), and discards the bytes: the
// client's own decompression, without the helper. Used by
// bench/client_decompress_bench.sh beside `xz -dc` and `zstd -dc`.
//
// Usage: image_source_drain IMAGE
// Output: "<format> <image bytes> <file bytes> <seconds>", exit status 1 on a
// damaged or unreadable image.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "job/image_source.h"
#include "job/wire.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "Usage: image_source_drain IMAGE\n");
    return 2;
  }
  const auto began = std::chrono::steady_clock::now();
  auto source = ravik::job::open_image_source(argv[1]);
  if (!source) {
    std::fprintf(stderr, "%s\n", source.error().message().c_str());
    return 1;
  }
  std::vector<std::uint8_t> buffer(ravik::job::kMaxSourcePayload);
  std::uint64_t total = 0;
  for (;;) {
    auto count = (*source)->read(buffer);
    if (!count) {
      std::fprintf(stderr, "%s\n", count.error().message().c_str());
      return 1;
    }
    if (*count == 0) break;
    total += *count;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  const std::string format(ravik::job::image_format_name((*source)->format()));
  std::printf("%s %llu %llu %.3f\n", format.c_str(),
              static_cast<unsigned long long>(total),
              static_cast<unsigned long long>((*source)->file_bytes_read()), seconds);
  return 0;
}
