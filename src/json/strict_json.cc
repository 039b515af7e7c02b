#include "json/strict_json.h"

#include <cstddef>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace ravik {
namespace {

using nlohmann::json;

// A pointer into the text that reports the furthest position the parser has
// read, so that faults found in the parser callback get a line and column.
class TrackingIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  TrackingIterator(const char* at, const char** furthest)
      : at_(at), furthest_(furthest) {}

  reference operator*() const { return *at_; }
  TrackingIterator& operator++() {
    ++at_;
    if (at_ > *furthest_) *furthest_ = at_;
    return *this;
  }
  TrackingIterator operator++(int) {
    TrackingIterator old = *this;
    ++*this;
    return old;
  }
  friend bool operator==(const TrackingIterator& a, const TrackingIterator& b) {
    return a.at_ == b.at_;
  }

 private:
  const char* at_;
  const char** furthest_;
};

// Thrown from the parser callback to stop the parse; never leaves this file.
struct Refusal {
  std::string what;
};

std::string position_text(std::string_view text, std::size_t consumed) {
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < consumed && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return "line " + std::to_string(line) + ", column " +
         std::to_string(consumed - line_start);
}

// Cuts at a UTF-8 character boundary (continuation bytes are 10xxxxxx).
std::string bounded(std::string description) {
  if (description.size() <= kMaxDecodeDescriptionBytes) return description;
  std::size_t cut = kMaxDecodeDescriptionBytes - 3;
  while (cut > 0 && (static_cast<unsigned char>(description[cut]) & 0xC0) == 0x80) --cut;
  description.resize(cut);
  description += "...";
  return description;
}

// nlohmann prefixes its messages with "[json.exception.parse_error.101] ";
// the peer gains nothing from the library's internal numbering.
std::string without_library_prefix(std::string_view what) {
  if (!what.empty() && what.front() == '[') {
    const auto end = what.find("] ");
    if (end != std::string_view::npos) what.remove_prefix(end + 2);
  }
  return std::string(what);
}

// The callback's view of the open containers: the member names seen so far
// for each object, nothing for arrays.
class DuplicateGuard {
 public:
  DuplicateGuard(std::string_view text, const char** furthest)
      : text_(text), furthest_(furthest) {}

  bool operator()(int /*depth*/, json::parse_event_t event, json& parsed) {
    switch (event) {
      case json::parse_event_t::object_start:
        open(true);
        break;
      case json::parse_event_t::array_start:
        open(false);
        break;
      case json::parse_event_t::object_end:
      case json::parse_event_t::array_end:
        if (!stack_.empty()) stack_.pop_back();
        break;
      case json::parse_event_t::key:
        add_key(parsed.get_ref<const std::string&>());
        break;
      case json::parse_event_t::value:
        if (parsed.is_number_float()) refuse_number();
        break;
    }
    return true;
  }

 private:
  struct Container {
    bool is_object;
    std::set<std::string> keys;
  };

  void open(bool is_object) {
    if (stack_.size() >= kMaxJsonDepth) {
      throw Refusal{"nesting deeper than " + std::to_string(kMaxJsonDepth) +
                    " levels at " + here(consumed())};
    }
    stack_.push_back(Container{is_object, {}});
  }

  void add_key(const std::string& key) {
    if (stack_.empty() || !stack_.back().is_object) return;
    if (!stack_.back().keys.insert(key).second) {
      std::string quoted;
      quoted.reserve(key.size() + 2);
      quoted += '"';
      quoted += key.substr(0, 64);
      quoted += '"';
      throw Refusal{"duplicate member " + quoted + " at " + here(consumed())};
    }
  }

  // The lexer has read one character past a number to find its end.
  void refuse_number() {
    std::size_t end = consumed();
    if (end > 0 && end <= text_.size() &&
        !(text_[end - 1] >= '0' && text_[end - 1] <= '9')) {
      --end;
    }
    throw Refusal{
        "number is not an integer of at most 64 bits (fraction, exponent or "
        "out of range) at " +
        here(end)};
  }

  std::size_t consumed() const {
    return static_cast<std::size_t>(*furthest_ - text_.data());
  }
  std::string here(std::size_t consumed) const { return position_text(text_, consumed); }

  std::string_view text_;
  const char** furthest_;
  std::vector<Container> stack_;
};

}  // namespace

std::unexpected<DecodeError> decode_failure(std::string description) {
  return std::unexpected(DecodeError{bounded(std::move(description))});
}

DecodeResult<json> parse_strict_json(std::string_view text) {
  // The library would skip a byte order mark silently; a peer that sends one
  // is not writing the protocol.
  if (text.starts_with("\xEF\xBB\xBF")) {
    return decode_failure("byte order mark at line 1, column 1");
  }
  const char* furthest = text.data();
  DuplicateGuard guard(text, &furthest);
  try {
    return json::parse(TrackingIterator(text.data(), &furthest),
                       TrackingIterator(text.data() + text.size(), &furthest),
                       std::ref(guard), /*allow_exceptions=*/true,
                       /*ignore_comments=*/false);
  } catch (const Refusal& refusal) {
    return decode_failure(refusal.what);
  } catch (const json::parse_error& error) {
    // Parse errors carry their own line and column.
    return decode_failure(without_library_prefix(error.what()));
  } catch (const json::exception& error) {
    const auto consumed = static_cast<std::size_t>(furthest - text.data());
    return decode_failure(without_library_prefix(error.what()) + " at " +
                          position_text(text, consumed));
  } catch (const std::bad_alloc&) {
    return decode_failure("out of memory while parsing");
  }
}

}  // namespace ravik
