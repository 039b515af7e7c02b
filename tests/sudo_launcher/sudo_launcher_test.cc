#include "sudo_launcher/sudo_launcher.h"

#include <gtest/gtest.h>

namespace ravik::sudo_launcher {
namespace {

constexpr std::string_view kDenied =
    "The sudo launcher requires an unprivileged caller with matching real and effective "
    "IDs.";

CallerIds ids(uid_t ruid, uid_t euid, gid_t rgid, gid_t egid) {
  return CallerIds{ruid, euid, rgid, egid};
}

TEST(CheckLaunchRequestTest, PrivilegedOrMixedIdentity_IsDeniedWhateverTheArguments) {
  const CallerIds denied[] = {
      ids(0, 0, 0, 0),           // root
      ids(0, 0, 1000, 1000),     // root with an ordinary group
      ids(0, 1000, 1000, 1000),  // real root, effective user
      ids(1000, 0, 1000, 1000),  // set-user-ID root start
      ids(1000, 1001, 1000, 1000),
      ids(1000, 1000, 1000, 0),  // set-group-ID start
      ids(1000, 1000, 1000, 1001),
  };
  for (const CallerIds& caller : denied) {
    for (const std::size_t count : {0u, 1u, 3u}) {
      SCOPED_TRACE(testing::Message() << caller.real_uid << "/" << caller.effective_uid
                                      << "/" << caller.real_gid << "/"
                                      << caller.effective_gid << " args " << count);
      const Result<void> result = check_launch_request(caller, count);
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error().code(), codes::kSudoLaunchDenied);
      EXPECT_EQ(result.error().message(), kDenied);
    }
  }
}

TEST(CheckLaunchRequestTest, UnprivilegedCaller_NeedsAtLeastOneArgument) {
  const Result<void> none = check_launch_request(ids(1000, 1000, 1000, 1000), 0);
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error().code(), codes::kProtocolError);
  EXPECT_EQ(none.error().message(), "The sudo launcher requires sudo arguments.");

  EXPECT_TRUE(check_launch_request(ids(1000, 1000, 1000, 1000), 1));
  // A caller in group 0 is not privileged by that alone.
  EXPECT_TRUE(check_launch_request(ids(65534, 65534, 0, 0), 2));
}

}  // namespace
}  // namespace ravik::sudo_launcher
