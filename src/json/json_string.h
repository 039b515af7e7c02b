// JSON string literals as the helper writes them: UTF-8 with the minimal
// escapes (\" \\ \b \f \n \r \t, other control characters as \u00xx in
// lower-case hex; 0x7F and non-ASCII text unchanged). Pure; thread-safe.
#ifndef RAVIK_JSON_JSON_STRING_H_
#define RAVIK_JSON_JSON_STRING_H_

#include <string>
#include <string_view>

namespace ravik {

// Appends `text` to `out` as a quoted JSON string. A byte that does not start
// a well-formed UTF-8 sequence is written as U+FFFD, so the line stays valid
// JSON and valid UTF-8 whatever a platform reported; well-formed text is
// written byte for byte.
void append_json_string(std::string& out, std::string_view text);

}  // namespace ravik

#endif  // RAVIK_JSON_JSON_STRING_H_
