#include "session/input_pipe.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "io/unique_fd.h"
#include "support/temp_dir.h"

namespace ravik {
namespace {

TEST(InputPipe, PipeEnlargedWithinTheSystemLimit_OtherDescriptorsLeftAlone) {
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  const UniqueFd read_end(ends[0]);
  const UniqueFd write_end(ends[1]);
  long limit = 0;
  std::ifstream("/proc/sys/fs/pipe-max-size") >> limit;

  const std::size_t size = enlarge_input_pipe(read_end.get());

  EXPECT_EQ(static_cast<long>(size), ::fcntl(read_end.get(), F_GETPIPE_SZ));
  EXPECT_LE(static_cast<long>(size), std::max(limit, 4L * 1'048'576));
  if (limit > 65'536) {
    EXPECT_GT(size, 65'536u);
  }

  harness::TempDir dir;
  const std::string file = dir.write_file("plain", "x", 0600);
  const UniqueFd plain(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  EXPECT_EQ(enlarge_input_pipe(plain.get()), 0u);
}

}  // namespace
}  // namespace ravik
