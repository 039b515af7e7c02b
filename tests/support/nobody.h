// The unprivileged account that tests run children as, and give files to,
// where only what an ordinary user may do is to be seen.
#ifndef RAVIK_TESTS_SUPPORT_NOBODY_H_
#define RAVIK_TESTS_SUPPORT_NOBODY_H_

#include <sys/types.h>

namespace ravik::testing {

inline constexpr uid_t kNobodyUid = 65534;
inline constexpr gid_t kNobodyGid = 65534;

}  // namespace ravik::testing

#endif  // RAVIK_TESTS_SUPPORT_NOBODY_H_
