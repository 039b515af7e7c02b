// ravik-fat-tool: the FAT library on an image file, for people and tests.
//
//   ravik-fat-tool IMAGE[@OFFSET[+LENGTH]] format LABEL | info | ls | cat NAME
//                  | put NAME LOCALFILE | truncate NAME
//
// OFFSET and LENGTH are decimal byte counts selecting the volume inside the
// image (a partition); by default the whole file. Errors print one line on
// standard error and exit with status 1.
#include <charconv>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fatfs/fatfs.h"

namespace {

constexpr std::string_view kUsage =
    "usage: ravik-fat-tool IMAGE[@OFFSET[+LENGTH]] format LABEL | info | ls | cat NAME | "
    "put NAME LOCALFILE | truncate NAME";

struct Target {
  std::string path;
  std::uint64_t offset = 0;
  std::optional<std::uint64_t> length;
};

fatfs::Result<std::uint64_t> parse_count(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    return fatfs::fail(fatfs::ErrorKind::kInvalidInput,
                       "\"" + std::string(text) + "\" is not a decimal byte count");
  }
  return value;
}

fatfs::Result<Target> parse_target(std::string_view text) {
  Target target;
  const std::size_t at = text.rfind('@');
  target.path = std::string(text.substr(0, at));
  if (at == std::string_view::npos) return target;
  std::string_view range = text.substr(at + 1);
  const std::size_t plus = range.find('+');
  FATFS_ASSIGN_OR_RETURN(offset, parse_count(range.substr(0, plus)));
  target.offset = offset;
  if (plus != std::string_view::npos) {
    FATFS_ASSIGN_OR_RETURN(length, parse_count(range.substr(plus + 1)));
    target.length = length;
  }
  return target;
}

fatfs::Error in_context(std::string_view context, fatfs::Error error) {
  error.text = std::string(context) + ": " + error.text;
  return error;
}

#define TOOL_TRY(context, var, expr)                                    \
  auto var##_result_ = (expr);                                          \
  if (!var##_result_)                                                   \
    return std::unexpected(in_context(context, var##_result_.error())); \
  auto& var = *var##_result_

#define TOOL_CHECK(context, expr)                                  \
  do {                                                             \
    if (auto check_ = (expr); !check_)                             \
      return std::unexpected(in_context(context, check_.error())); \
  } while (0)

// Names come from the volume, which may be hostile: control characters
// would reach the terminal.
std::string printable(std::string name) {
  for (char& c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return name;
}

fatfs::Result<void> run_ls(fatfs::FileSystem& fs) {
  TOOL_TRY("cannot list the root directory", listing, fs.root_dir().list());
  for (const fatfs::DirListing& entry : listing) {
    std::printf("%10u %s%s\n", entry.size, printable(entry.name).c_str(),
                entry.is_directory ? "/" : "");
  }
  return {};
}

fatfs::Result<void> run_cat(fatfs::FileSystem& fs, std::string_view name) {
  TOOL_TRY("cannot open " + std::string(name), file, fs.root_dir().open_file(name));
  std::vector<std::uint8_t> buffer(1 << 20);
  for (;;) {
    TOOL_TRY("cannot read " + std::string(name), count, file.read(buffer));
    if (count == 0) break;
    if (std::fwrite(buffer.data(), 1, count, stdout) != count) {
      return fatfs::fail(fatfs::ErrorKind::kIo, "cannot write to standard output");
    }
  }
  return {};
}

fatfs::Result<void> run_put(fatfs::FileSystem& fs, std::string_view name,
                            const std::string& local) {
  std::ifstream in(local, std::ios::binary);
  if (!in) return fatfs::fail(fatfs::ErrorKind::kNotFound, "cannot read " + local);
  const std::vector<std::uint8_t> content((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
  if (in.bad()) return fatfs::fail(fatfs::ErrorKind::kIo, "cannot read " + local);
  TOOL_CHECK("cannot write " + std::string(name),
             fs.root_dir().write_file(name, content));
  TOOL_CHECK("cannot flush " + std::string(name), fs.flush());
  return {};
}

fatfs::Result<void> run_truncate(fatfs::FileSystem& fs, std::string_view name) {
  TOOL_TRY("cannot open " + std::string(name), file, fs.root_dir().open_file(name));
  TOOL_CHECK("cannot truncate " + std::string(name), file.truncate());
  return {};
}

fatfs::Result<void> run_on_volume(fatfs::Stream& stream,
                                  const std::vector<std::string>& args) {
  TOOL_TRY("cannot mount the volume", fs, fatfs::FileSystem::mount(stream));
  const std::string& command = args[0];
  fatfs::Result<void> outcome;
  if (command == "info" && args.size() == 1) {
    std::printf("%s cluster-size=%u clusters=%u label=%s\n",
                std::string(fatfs::fat_type_name(fs.fat_type())).c_str(),
                fs.cluster_size(), fs.cluster_count(), fs.volume_label().c_str());
  } else if (command == "ls" && args.size() == 1) {
    outcome = run_ls(fs);
  } else if (command == "cat" && args.size() == 2) {
    outcome = run_cat(fs, args[1]);
  } else if (command == "put" && args.size() == 3) {
    outcome = run_put(fs, args[1], args[2]);
  } else if (command == "truncate" && args.size() == 2) {
    outcome = run_truncate(fs, args[1]);
  } else {
    return fatfs::fail(fatfs::ErrorKind::kInvalidInput, std::string(kUsage));
  }
  if (!outcome) return outcome;
  TOOL_CHECK("cannot write the volume's metadata", fs.unmount());
  return {};
}

fatfs::Result<void> run(const std::vector<std::string>& args) {
  if (args.size() < 2)
    return fatfs::fail(fatfs::ErrorKind::kInvalidInput, std::string(kUsage));
  TOOL_TRY("bad image argument", target, parse_target(args[0]));
  TOOL_TRY("cannot open the image", stream,
           fatfs::FileStream::open(target.path, target.offset, target.length));
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (rest[0] == "format") {
    if (rest.size() != 2)
      return fatfs::fail(fatfs::ErrorKind::kInvalidInput, std::string(kUsage));
    fatfs::FormatOptions options;
    options.volume_label = rest[1];
    options.hidden_sectors = static_cast<std::uint32_t>(target.offset / 512);
    TOOL_CHECK("cannot format the volume", fatfs::format_volume(stream, options));
    return {};
  }
  return run_on_volume(stream, rest);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (const auto outcome = run(args); !outcome) {
    std::fprintf(stderr, "ravik-fat-tool: %s\n", outcome.error().text.c_str());
    return 1;
  }
  if (std::fflush(stdout) != 0) {
    std::fprintf(stderr, "ravik-fat-tool: cannot write to standard output\n");
    return 1;
  }
  return 0;
}
