// expect_error: the one check that an operation failed with a given error
// code and exactly the given message (the text the user would read).
#ifndef RAVIK_TESTS_SUPPORT_EXPECT_ERROR_H_
#define RAVIK_TESTS_SUPPORT_EXPECT_ERROR_H_

#include <gtest/gtest.h>

#include <optional>
#include <string_view>

#include "error/helper_error.h"
#include "io/io_error.h"

namespace ravik::testing {

template <typename T>
void expect_error(const Result<T>& result, std::string_view code,
                  std::string_view message) {
  ASSERT_FALSE(result.has_value()) << "expected the error " << code;
  EXPECT_EQ(result.error().code().text(), code);
  EXPECT_EQ(result.error().message(), message);
}

template <typename T>
void expect_error(const Result<T>& result, ErrorCode code, std::string_view message) {
  expect_error(result, code.text(), message);
}

// The same for the raw stream layer, whose errors carry a kind and a
// description instead of a code and a message.
inline void expect_error(const std::optional<IoError>& error, IoErrorKind kind,
                         std::string_view description) {
  ASSERT_TRUE(error.has_value()) << "expected the error " << description;
  EXPECT_EQ(error->kind, kind);
  EXPECT_EQ(error->describe(), description);
}

}  // namespace ravik::testing

#endif  // RAVIK_TESTS_SUPPORT_EXPECT_ERROR_H_
