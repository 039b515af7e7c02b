#include "json/strict_json.h"

#include <cstddef>
#include <iterator>
#include <new>
#include <string>
#include <vector>

namespace ravik {
namespace {

using nlohmann::json;

// A pointer into the text that reports the furthest position the parser has
// read, so that faults found while building the value get a line and column.
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

// Builds the value from the parser's events and refuses what the library
// would accept but the helper does not: a repeated member, a number that is
// not a 64-bit integer, nesting beyond kMaxJsonDepth, more than kMaxJsonValues
// values. Each event costs time bounded by its own token (a member lookup in
// its own object at most), so a whole text costs time in proportion to its
// size whatever its shape; the library's callback parser instead rescans a
// parent container at the end of every child. Returning false stops the parse
// at the first refusal.
class StrictValueBuilder {
 public:
  using number_integer_t = json::number_integer_t;
  using number_unsigned_t = json::number_unsigned_t;
  using number_float_t = json::number_float_t;
  using string_t = json::string_t;
  using binary_t = json::binary_t;

  StrictValueBuilder(std::string_view text, const char** furthest)
      : text_(text), furthest_(furthest) {}

  bool null() { return place(json(nullptr)) != nullptr; }
  bool boolean(bool value) { return place(json(value)) != nullptr; }
  bool number_integer(number_integer_t value) { return place(json(value)) != nullptr; }
  bool number_unsigned(number_unsigned_t value) { return place(json(value)) != nullptr; }
  // The lexer reports fractions, exponents and integers beyond 64 bits alike
  // as floating point.
  bool number_float(number_float_t, const string_t&) { return refuse_number(); }
  bool string(string_t& value) { return place(json(std::move(value))) != nullptr; }
  // Only binary formats produce these; JSON text never does.
  bool binary(binary_t&) { return refuse("binary value at " + here(consumed())); }

  bool start_object(std::size_t) { return open(json::object()); }
  bool start_array(std::size_t) { return open(json::array()); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool key(string_t& name) {
    auto& members = open_.back()->get_ref<json::object_t&>();
    // try_emplace leaves `name` untouched when the member exists.
    auto [member, inserted] = members.try_emplace(std::move(name));
    if (!inserted) {
      std::string quoted;
      quoted.reserve(66);
      quoted += '"';
      quoted.append(name, 0, 64);
      quoted += '"';
      return refuse("duplicate member " + quoted + " at " + here(consumed()));
    }
    member_ = &member->second;
    return true;
  }

  bool parse_error(std::size_t, const std::string&,
                   const nlohmann::detail::exception& error) {
    // Parse errors carry their own line and column.
    return refuse(without_library_prefix(error.what()));
  }

  // The whole value once the parse succeeded.
  json take_value() { return std::move(root_); }
  // Why the parse stopped; empty when it did not.
  const std::string& refusal() const { return refusal_; }

 private:
  // Puts `value` where the parse stands: the root, the next element of the
  // open array, or the member whose key came last. Returns where it landed.
  // Nothing, with the refusal recorded, past kMaxJsonValues.
  json* place(json value) {
    if (++values_ > kMaxJsonValues) {
      refuse("more than " + std::to_string(kMaxJsonValues) + " values at " +
             here(consumed()));
      return nullptr;
    }
    if (open_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    json& container = *open_.back();
    if (container.is_array()) {
      auto& elements = container.get_ref<json::array_t&>();
      elements.push_back(std::move(value));
      return &elements.back();
    }
    *member_ = std::move(value);
    return member_;
  }

  // A container's address stays valid while it is open: its parent array
  // grows only after it has been closed, and map nodes never move.
  bool open(json empty) {
    if (open_.size() >= kMaxJsonDepth) {
      return refuse("nesting deeper than " + std::to_string(kMaxJsonDepth) +
                    " levels at " + here(consumed()));
    }
    json* container = place(std::move(empty));
    if (container == nullptr) return false;
    open_.push_back(container);
    return true;
  }

  bool close() {
    open_.pop_back();
    return true;
  }

  // The lexer has read one character past a number to find its end.
  bool refuse_number() {
    std::size_t end = consumed();
    if (end > 0 && end <= text_.size() &&
        !(text_[end - 1] >= '0' && text_[end - 1] <= '9')) {
      --end;
    }
    return refuse(
        "number is not an integer of at most 64 bits (fraction, exponent or "
        "out of range) at " +
        here(end));
  }

  bool refuse(std::string why) {
    refusal_ = std::move(why);
    return false;
  }

  std::size_t consumed() const {
    return static_cast<std::size_t>(*furthest_ - text_.data());
  }
  std::string here(std::size_t consumed) const { return position_text(text_, consumed); }

  std::string_view text_;
  const char** furthest_;
  json root_;
  std::vector<json*> open_;  // Not owned: the containers inside root_.
  json* member_ = nullptr;   // Not owned: the member of the last key.
  std::size_t values_ = 0;
  std::string refusal_;
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
  // The library's lexer takes a NUL byte for the end of the input, so
  // whatever follows one would never be looked at. JSON text never holds a
  // raw NUL (inside a string it is written \u0000).
  if (const auto nul = text.find('\0'); nul != std::string_view::npos) {
    return decode_failure("NUL byte at " + position_text(text, nul + 1));
  }
  const char* furthest = text.data();
  StrictValueBuilder builder(text, &furthest);
  // Running out of memory is not a property of the text: std::bad_alloc goes
  // on to the mode, which ends with UNKNOWN rather than refusing the input.
  if (!json::sax_parse(TrackingIterator(text.data(), &furthest),
                       TrackingIterator(text.data() + text.size(), &furthest), &builder,
                       json::input_format_t::json, /*strict=*/true,
                       /*ignore_comments=*/false)) {
    return decode_failure(builder.refusal());
  }
  return builder.take_value();
}

}  // namespace ravik
