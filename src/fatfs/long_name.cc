#include "fatfs/long_name.h"

#include <algorithm>

namespace fatfs {
namespace {

constexpr std::uint8_t kLastLongEntry = 0x40;
// Byte offsets of the 13 UTF-16 characters inside a long-name entry.
constexpr std::array<std::size_t, kCharsPerLongEntry> kCharOffsets = {
    1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

char16_t fold(char16_t c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; }

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace

std::vector<DirEntry> encode_long_name(std::string_view name, std::uint8_t checksum) {
  const std::size_t count = (name.size() + kCharsPerLongEntry - 1) / kCharsPerLongEntry;
  std::vector<DirEntry> entries;
  for (std::size_t n = count; n >= 1; --n) {
    std::array<std::uint8_t, kDirEntrySize> raw{};
    raw[0] = static_cast<std::uint8_t>(n | (n == count ? kLastLongEntry : 0));
    raw[11] = attr::kLongName;
    raw[13] = checksum;
    for (std::size_t i = 0; i < kCharsPerLongEntry; ++i) {
      const std::size_t at = (n - 1) * kCharsPerLongEntry + i;
      // One NUL terminates a name that does not fill its last entry; the
      // rest of that entry is padded with 0xFFFF.
      std::uint16_t unit = 0xFFFF;
      if (at < name.size()) {
        unit = static_cast<std::uint8_t>(name[at]);
      } else if (at == name.size()) {
        unit = 0;
      }
      raw[kCharOffsets[i]] = static_cast<std::uint8_t>(unit);
      raw[kCharOffsets[i] + 1] = static_cast<std::uint8_t>(unit >> 8);
    }
    entries.emplace_back(raw);
  }
  return entries;
}

void LongNameDecoder::feed(const DirEntry& entry) {
  const auto raw = entry.bytes();
  const std::uint8_t order = raw[0];
  const std::uint8_t sequence = order & 0x1F;
  if (order & kLastLongEntry) {
    active_ = sequence >= 1 && sequence <= 20;
    count_ = sequence;
    checksum_ = raw[13];
  } else if (!active_ || expected_ == 0 || sequence != expected_ ||
             raw[13] != checksum_) {
    active_ = false;
    return;
  }
  if (!active_) return;
  for (std::size_t i = 0; i < kCharsPerLongEntry; ++i) {
    chars_[(sequence - 1) * kCharsPerLongEntry + i] =
        static_cast<char16_t>(raw[kCharOffsets[i]] | (raw[kCharOffsets[i] + 1] << 8));
  }
  expected_ = static_cast<std::uint8_t>(sequence - 1);
}

std::optional<std::u16string> LongNameDecoder::finish(const DirEntry& short_entry) {
  const bool complete = active_ && expected_ == 0 &&
                        checksum_ == short_name_checksum(short_entry.short_name());
  active_ = false;
  if (!complete) return std::nullopt;
  std::u16string name(chars_.begin(), chars_.begin() + count_ * kCharsPerLongEntry);
  const std::size_t end = name.find(u'\0');
  if (end != std::u16string::npos) name.resize(end);
  if (name.empty()) return std::nullopt;
  return name;
}

bool long_name_matches(std::u16string_view long_name, std::string_view name) {
  if (long_name.size() != name.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (c >= 0x80 || fold(long_name[i]) != fold(c)) return false;
  }
  return true;
}

bool ascii_iequal(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return fold(static_cast<unsigned char>(x)) ==
                  fold(static_cast<unsigned char>(y));
         });
}

std::string utf16_to_utf8(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    append_utf8(out, c);
  }
  return out;
}

}  // namespace fatfs
