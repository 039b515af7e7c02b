#include "json/json_object_reader.h"

#include <algorithm>
#include <string>

#include "json/json_string.h"

namespace ravik {
namespace {

using nlohmann::json;

constexpr std::size_t kQuotedTextLimit = 64;

std::string_view type_description(const json& value) {
  if (value.is_number_unsigned()) return "a non-negative integer";
  if (value.is_number_integer()) return "a negative integer";
  if (value.is_string()) return "a string";
  if (value.is_boolean()) return "a boolean";
  if (value.is_null()) return "null";
  if (value.is_object()) return "an object";
  if (value.is_array()) return "an array";
  return "another JSON type";
}

}  // namespace

std::string quote_for_description(std::string_view text) {
  std::string quoted;
  if (text.size() > kQuotedTextLimit) {
    std::size_t cut = kQuotedTextLimit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    append_json_string(quoted, text.substr(0, cut));
    quoted.insert(quoted.size() - 1, "...");
    return quoted;
  }
  append_json_string(quoted, text);
  return quoted;
}

DecodeResult<JsonObjectReader> JsonObjectReader::open(const json& value,
                                                      std::string path) {
  if (!value.is_object()) {
    if (path.empty()) {
      return decode_failure(std::string("expected a JSON object, found ") +
                            std::string(type_description(value)));
    }
    return decode_failure("member " + quote_for_description(path) +
                          " must be an object, not " +
                          std::string(type_description(value)));
  }
  return JsonObjectReader(&value, std::move(path));
}

std::string JsonObjectReader::member_path(std::string_view key) const {
  if (path_.empty()) return std::string(key);
  std::string path = path_;
  path += '.';
  path += key;
  return path;
}

bool JsonObjectReader::has(std::string_view key) const {
  return object_->contains(std::string(key));
}

DecodeResult<const json*> JsonObjectReader::take(std::string_view key) {
  taken_.emplace_back(key);
  const auto found = object_->find(std::string(key));
  if (found == object_->end()) {
    return decode_failure("missing member " + quote_for_description(member_path(key)));
  }
  return &*found;
}

std::unexpected<DecodeError> JsonObjectReader::wrong_type(std::string_view key,
                                                          std::string_view expected,
                                                          const json& found) const {
  return decode_failure("member " + quote_for_description(member_path(key)) +
                        " must be " + std::string(expected) + ", not " +
                        std::string(type_description(found)));
}

std::unexpected<DecodeError> JsonObjectReader::unknown_value(
    std::string_view key, std::string_view value) const {
  return decode_failure("member " + quote_for_description(member_path(key)) +
                        " has an unknown value " + quote_for_description(value));
}

DecodeResult<std::string> JsonObjectReader::required_string(std::string_view key) {
  auto value = take(key);
  if (!value) return std::unexpected(std::move(value).error());
  if (!(*value)->is_string()) return wrong_type(key, "a string", **value);
  return (*value)->get<std::string>();
}

DecodeResult<std::optional<std::string>> JsonObjectReader::optional_string(
    std::string_view key) {
  if (!has(key)) {
    taken_.emplace_back(key);
    return std::optional<std::string>();
  }
  auto value = take(key);
  if (!value) return std::unexpected(std::move(value).error());
  if ((*value)->is_null()) return std::optional<std::string>();
  if (!(*value)->is_string()) return wrong_type(key, "a string or null", **value);
  return std::optional<std::string>((*value)->get<std::string>());
}

DecodeResult<std::uint64_t> JsonObjectReader::required_unsigned_up_to(
    std::string_view key, std::uint64_t max) {
  auto value = take(key);
  if (!value) return std::unexpected(std::move(value).error());
  // A number written with a minus sign is a signed integer to the parser,
  // "-0" included; unsigned members never carry a sign.
  if (!(*value)->is_number_unsigned()) {
    return wrong_type(key, "an unsigned integer", **value);
  }
  const auto number = (*value)->get<std::uint64_t>();
  if (number > max) {
    return decode_failure("member " + quote_for_description(member_path(key)) + " is " +
                          std::to_string(number) + ", above its maximum " +
                          std::to_string(max));
  }
  return number;
}

DecodeResult<std::int64_t> JsonObjectReader::required_signed_within(std::string_view key,
                                                                    std::int64_t min,
                                                                    std::int64_t max) {
  auto value = take(key);
  if (!value) return std::unexpected(std::move(value).error());
  if (!(*value)->is_number_integer()) return wrong_type(key, "an integer", **value);
  const bool above = (*value)->is_number_unsigned() ? (*value)->get<std::uint64_t>() >
                                                          static_cast<std::uint64_t>(max)
                                                    : (*value)->get<std::int64_t>() > max;
  const bool below =
      !(*value)->is_number_unsigned() && (*value)->get<std::int64_t>() < min;
  if (above || below) {
    return decode_failure("member " + quote_for_description(member_path(key)) +
                          " is outside " + std::to_string(min) + " to " +
                          std::to_string(max));
  }
  return (*value)->get<std::int64_t>();
}

DecodeResult<bool> JsonObjectReader::required_bool(std::string_view key) {
  auto value = take(key);
  if (!value) return std::unexpected(std::move(value).error());
  if (!(*value)->is_boolean()) return wrong_type(key, "true or false", **value);
  return (*value)->get<bool>();
}

DecodeResult<bool> JsonObjectReader::bool_or(std::string_view key, bool fallback) {
  if (!has(key)) {
    taken_.emplace_back(key);
    return fallback;
  }
  return required_bool(key);
}

DecodeResult<JsonObjectReader> JsonObjectReader::required_object(std::string_view key) {
  auto value = take(key);
  if (!value) return std::unexpected(std::move(value).error());
  return open(**value, member_path(key));
}

DecodeResult<void> JsonObjectReader::finish() const {
  for (const auto& item : object_->items()) {
    if (std::find(taken_.begin(), taken_.end(), item.key()) == taken_.end()) {
      return decode_failure("unknown member " +
                            quote_for_description(member_path(item.key())));
    }
  }
  return {};
}

}  // namespace ravik
