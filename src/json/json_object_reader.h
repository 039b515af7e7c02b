// JsonObjectReader: typed, strict access to the members of one parsed JSON
// object (see strict_json.h for the parse). Each member is taken once by name
// with the type the record expects; finish() then refuses every member that
// was never taken, so unknown members are errors at every level. Integers must
// be unsigned JSON integers within the range the caller gives; optional
// strings accept absence or null; defaulted members take their default only
// when absent. Descriptions name the member by its dotted path ("target.model").
//
// A reader borrows the parsed value, which must outlive it. Not thread-safe.
#ifndef RAVIK_JSON_JSON_OBJECT_READER_H_
#define RAVIK_JSON_JSON_OBJECT_READER_H_

#include <concepts>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "json/strict_json.h"

namespace ravik {

// One value of a string enumeration as it is spelled on the wire.
template <class E>
struct WireName {
  std::string_view name;
  E value;
};

class JsonObjectReader {
 public:
  // Fails unless `value` is an object. `path` names the object in
  // descriptions: empty for the top-level object, "target" for a member.
  static DecodeResult<JsonObjectReader> open(const nlohmann::json& value,
                                             std::string path);

  DecodeResult<std::string> required_string(std::string_view key);
  // Absent and null both give nothing.
  DecodeResult<std::optional<std::string>> optional_string(std::string_view key);

  template <std::unsigned_integral T>
  DecodeResult<T> required_unsigned(std::string_view key) {
    auto value = required_unsigned_up_to(key, std::numeric_limits<T>::max());
    if (!value) return std::unexpected(std::move(value).error());
    return static_cast<T>(*value);
  }

  // `fallback` when absent; null is a type error like any other non-integer.
  template <std::unsigned_integral T>
  DecodeResult<T> unsigned_or(std::string_view key, T fallback) {
    if (!has(key)) {
      taken_.emplace_back(key);
      return fallback;
    }
    return required_unsigned<T>(key);
  }

  // A JSON integer, with or without a minus sign, within the range of T.
  template <std::signed_integral T>
  DecodeResult<T> required_signed(std::string_view key) {
    auto value = required_signed_within(key, std::numeric_limits<T>::min(),
                                        std::numeric_limits<T>::max());
    if (!value) return std::unexpected(std::move(value).error());
    return static_cast<T>(*value);
  }

  DecodeResult<bool> required_bool(std::string_view key);
  // `fallback` when absent; null is a type error.
  DecodeResult<bool> bool_or(std::string_view key, bool fallback);

  DecodeResult<JsonObjectReader> required_object(std::string_view key);

  // A string member that must be one of `names`, compared byte for byte.
  template <class E>
  DecodeResult<E> required_enum(std::string_view key,
                                std::span<const WireName<E>> names) {
    auto text = required_string(key);
    if (!text) return std::unexpected(std::move(text).error());
    for (const auto& entry : names) {
      if (entry.name == *text) return entry.value;
    }
    return unknown_value(key, *text);
  }

  // True when the object has a member `key` (null included).
  bool has(std::string_view key) const;

  // Refuses the first member (in key order) that no accessor took.
  DecodeResult<void> finish() const;

  // The dotted path of member `key` of this object.
  std::string member_path(std::string_view key) const;

 private:
  JsonObjectReader(const nlohmann::json* object, std::string path)
      : object_(object), path_(std::move(path)) {}

  DecodeResult<std::uint64_t> required_unsigned_up_to(std::string_view key,
                                                      std::uint64_t max);
  DecodeResult<std::int64_t> required_signed_within(std::string_view key,
                                                    std::int64_t min, std::int64_t max);
  // Marks `key` taken and returns its value, or fails when it is absent.
  DecodeResult<const nlohmann::json*> take(std::string_view key);
  std::unexpected<DecodeError> wrong_type(std::string_view key, std::string_view expected,
                                          const nlohmann::json& found) const;
  std::unexpected<DecodeError> unknown_value(std::string_view key,
                                             std::string_view value) const;

  const nlohmann::json* object_;  // Not owned; must outlive this.
  std::string path_;
  std::vector<std::string> taken_;
};

// `text` as a JSON string literal for a description, cut to a few dozen bytes:
// member names and values in descriptions come from the peer.
std::string quote_for_description(std::string_view text);

}  // namespace ravik

#endif  // RAVIK_JSON_JSON_OBJECT_READER_H_
