#include "platform/macos/description.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "error/utf8.h"

namespace ravik::macos {
std::unexpected<HelperError> not_removable(std::string_view message) {
  return fail(codes::kDeviceNotRemovable, std::string(message));
}

namespace {

constexpr std::string_view kMissing =
    "Disk Arbitration omitted required target identity information.";

Result<void> require_type(const DescriptionDictionary& dictionary, DescriptionKey key,
                          ValueType type) {
  // A value of another type is as useless as none: it is never read as if it
  // were the expected one.
  if (dictionary.type_of(key) != type) return not_removable(kMissing);
  return {};
}

Result<std::uint64_t> size_item(const DescriptionDictionary& dictionary,
                                DescriptionKey key) {
  RAVIK_ASSIGN_OR_RETURN(const std::int64_t value, cf_i64(dictionary, key));
  if (value < 0)
    return not_removable("Disk Arbitration returned a negative target size.");
  return static_cast<std::uint64_t>(value);
}

// A time, not a count: read as the floating-point number it is.
Result<double> appearance_time(const DescriptionDictionary& dictionary) {
  RAVIK_RETURN_IF_ERROR(
      require_type(dictionary, DescriptionKey::kAppearanceTime, ValueType::kNumber));
  return dictionary.double_value(DescriptionKey::kAppearanceTime);
}

}  // namespace

Result<std::string> cf_string(const DescriptionDictionary& dictionary,
                              DescriptionKey key) {
  RAVIK_RETURN_IF_ERROR(require_type(dictionary, key, ValueType::kString));
  const std::int64_t maximum = dictionary.string_maximum_utf8_size(key);
  if (maximum == std::numeric_limits<std::int64_t>::max()) {
    return not_removable("Target string size overflow.");
  }
  const std::int64_t buffer_size = maximum + 1;
  if (buffer_size < 1 || buffer_size > kStringBufferBound) {
    return not_removable(
        "Disk Arbitration target identity string exceeds the safety bound.");
  }
  std::vector<char> buffer(static_cast<std::size_t>(buffer_size), '\0');
  constexpr std::string_view kNotUtf8 =
      "Disk Arbitration target identity string is not valid UTF-8.";
  if (!dictionary.copy_string_utf8(key, buffer)) return not_removable(kNotUtf8);
  std::string text(buffer.begin(), std::find(buffer.begin(), buffer.end(), '\0'));
  if (!is_valid_utf8(text)) return not_removable(kNotUtf8);
  return text;
}

Result<std::int64_t> cf_i64(const DescriptionDictionary& dictionary, DescriptionKey key) {
  RAVIK_RETURN_IF_ERROR(require_type(dictionary, key, ValueType::kNumber));
  const auto value = dictionary.int64_value(key);
  if (!value) {
    return not_removable(
        "Disk Arbitration returned invalid numeric target identity information.");
  }
  return *value;
}

Result<std::optional<std::string>> cf_optional_string(
    const DescriptionDictionary& dictionary, DescriptionKey key) {
  if (dictionary.type_of(key) == ValueType::kMissing) return std::nullopt;
  RAVIK_ASSIGN_OR_RETURN(std::string text, cf_string(dictionary, key));
  return text;
}

Result<bool> cf_bool(const DescriptionDictionary& dictionary, DescriptionKey key) {
  RAVIK_RETURN_IF_ERROR(require_type(dictionary, key, ValueType::kBoolean));
  return dictionary.bool_value(key);
}

Result<Description> read_description(const DescriptionDictionary& dictionary) {
  using Key = DescriptionKey;
  Description description;
  RAVIK_ASSIGN_OR_RETURN(description.bsd_name, cf_string(dictionary, Key::kMediaBsdName));
  RAVIK_ASSIGN_OR_RETURN(description.media_size, size_item(dictionary, Key::kMediaSize));
  RAVIK_ASSIGN_OR_RETURN(description.block_size,
                         size_item(dictionary, Key::kMediaBlockSize));
  RAVIK_ASSIGN_OR_RETURN(description.bsd_major, cf_i64(dictionary, Key::kMediaBsdMajor));
  RAVIK_ASSIGN_OR_RETURN(description.bsd_minor, cf_i64(dictionary, Key::kMediaBsdMinor));
  RAVIK_ASSIGN_OR_RETURN(description.model,
                         cf_optional_string(dictionary, Key::kDeviceModel));
  RAVIK_ASSIGN_OR_RETURN(description.bus_path,
                         cf_optional_string(dictionary, Key::kBusPath));
  RAVIK_ASSIGN_OR_RETURN(description.whole, cf_bool(dictionary, Key::kMediaWhole));
  RAVIK_ASSIGN_OR_RETURN(description.writable, cf_bool(dictionary, Key::kMediaWritable));
  RAVIK_ASSIGN_OR_RETURN(description.removable,
                         cf_bool(dictionary, Key::kMediaRemovable));
  RAVIK_ASSIGN_OR_RETURN(description.ejectable,
                         cf_bool(dictionary, Key::kMediaEjectable));
  RAVIK_ASSIGN_OR_RETURN(description.device_path,
                         cf_string(dictionary, Key::kDevicePath));
  RAVIK_ASSIGN_OR_RETURN(description.media_path, cf_string(dictionary, Key::kMediaPath));
  RAVIK_ASSIGN_OR_RETURN(description.appearance_time, appearance_time(dictionary));
  return description;
}

Result<DiskSnapshot> read_snapshot(const DescriptionDictionary& dictionary) {
  using Key = DescriptionKey;
  DiskSnapshot snapshot;
  RAVIK_ASSIGN_OR_RETURN(snapshot.bsd_name, cf_string(dictionary, Key::kMediaBsdName));
  RAVIK_ASSIGN_OR_RETURN(snapshot.device_path, cf_string(dictionary, Key::kDevicePath));
  RAVIK_ASSIGN_OR_RETURN(snapshot.media_path, cf_string(dictionary, Key::kMediaPath));
  RAVIK_ASSIGN_OR_RETURN(snapshot.appearance_time, appearance_time(dictionary));
  return snapshot;
}

DiskSnapshot snapshot_of(const Description& description) {
  return DiskSnapshot{.bsd_name = description.bsd_name,
                      .device_path = description.device_path,
                      .media_path = description.media_path,
                      .appearance_time = description.appearance_time};
}

}  // namespace ravik::macos
