// normalize_whitespace: the form in which device models are compared, so that
// padding added by firmware or by the application does not count as a
// different model. Pure function; thread-safe.
#ifndef RAVIK_PLATFORM_WHITESPACE_NORMALIZE_H_
#define RAVIK_PLATFORM_WHITESPACE_NORMALIZE_H_

#include <string>
#include <string_view>

namespace ravik {

// Splits `text` at runs of Unicode white space and joins the pieces with one
// space; leading and trailing white space disappear. Letter case is kept.
// Bytes that are not well-formed UTF-8 are kept as they are.
std::string normalize_whitespace(std::string_view text);

}  // namespace ravik

#endif  // RAVIK_PLATFORM_WHITESPACE_NORMALIZE_H_
