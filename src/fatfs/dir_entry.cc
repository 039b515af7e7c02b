#include "fatfs/dir_entry.h"

#include <algorithm>

#include "fatfs/byte_order.h"

namespace fatfs {
namespace {

constexpr std::uint8_t kLowerBase = 0x08;
constexpr std::uint8_t kLowerExtension = 0x10;

void append_part(std::string& out, std::span<const std::uint8_t> part, bool lower) {
  std::size_t length = part.size();
  while (length > 0 && part[length - 1] == ' ') --length;
  for (std::size_t i = 0; i < length; ++i) {
    char c = static_cast<char>(part[i]);
    if (part[i] < 0x20 || part[i] > 0x7E) c = '?';
    if (lower && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    out.push_back(c);
  }
}

}  // namespace

DirEntry::DirEntry(std::span<const std::uint8_t> raw) {
  std::copy_n(raw.begin(), kDirEntrySize, bytes_.begin());
}

ShortName DirEntry::short_name() const {
  ShortName name;
  std::copy_n(bytes_.begin(), name.size(), name.begin());
  if (name[0] == 0x05) name[0] = 0xE5;
  return name;
}

void DirEntry::set_short_name(const ShortName& name) {
  std::copy(name.begin(), name.end(), bytes_.begin());
  if (bytes_[0] == 0xE5) bytes_[0] = 0x05;
}

std::string DirEntry::display_short_name() const {
  const ShortName name = short_name();
  std::string out;
  append_part(out, std::span(name).first(8), (bytes_[12] & kLowerBase) != 0);
  std::string extension;
  append_part(extension, std::span(name).subspan(8), (bytes_[12] & kLowerExtension) != 0);
  if (!extension.empty()) out += "." + extension;
  return out;
}

std::uint32_t DirEntry::first_cluster(bool fat32) const {
  const std::uint32_t high = fat32 ? load_le16(bytes_, 20) : 0;
  return (high << 16) | load_le16(bytes_, 26);
}

void DirEntry::set_first_cluster(std::uint32_t cluster) {
  store_le16(bytes_, 20, static_cast<std::uint16_t>(cluster >> 16));
  store_le16(bytes_, 26, static_cast<std::uint16_t>(cluster));
}

std::uint32_t DirEntry::size() const { return load_le32(bytes_, 28); }
void DirEntry::set_size(std::uint32_t size) { store_le32(bytes_, 28, size); }

DosTimestamp DirEntry::modified() const {
  return DosTimestamp{load_le16(bytes_, 24), load_le16(bytes_, 22)};
}

void DirEntry::set_created(DosTimestamp when) {
  bytes_[13] = 0;
  store_le16(bytes_, 14, when.time);
  store_le16(bytes_, 16, when.date);
  store_le16(bytes_, 18, when.date);
}

void DirEntry::set_modified(DosTimestamp when) {
  store_le16(bytes_, 22, when.time);
  store_le16(bytes_, 24, when.date);
}

void DirEntry::set_accessed(DosTimestamp when) { store_le16(bytes_, 18, when.date); }

std::uint8_t short_name_checksum(const ShortName& name) {
  std::uint8_t sum = 0;
  for (const std::uint8_t c : name) {
    sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + c);
  }
  return sum;
}

}  // namespace fatfs
