#include "platform/linux/target_checks.h"

#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include <functional>

#include "platform/whitespace_normalize.h"

namespace ravik {
namespace {

BlockDeviceDescription usb_stick() {
  BlockDeviceDescription d;
  d.kernel_name = "sdb";
  d.size_bytes = 8 * 1024 * 1024;
  d.logical_block_size = 512;
  d.device_number = makedev(8, 16);
  d.disk_sequence = 9;
  d.model = "Cruzer Blade";
  d.bus_path = "/sys/devices/pci0000:00/usb1/1-2/block/sdb";
  d.whole = true;
  d.writable = true;
  d.removable = false;
  d.ejectable = true;
  d.transport = BlockTransport::kScsi;
  return d;
}

DiskSelection selection_of(const BlockDeviceDescription& d) {
  return DiskSelection{.device_id = d.kernel_name,
                       .size_bytes = d.size_bytes,
                       .topology_path = d.bus_path,
                       .model = d.model};
}

void expect_refusal(const Result<void>& result, ErrorCode code,
                    std::string_view message) {
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().code(), code);
  EXPECT_EQ(result.error().message(), message);
}

TEST(CheckTargetForm, AcceptsOnlyDevSlashDeviceId) {
  EXPECT_TRUE(check_target_form("sdb", "/dev/sdb").has_value());
  EXPECT_TRUE(check_target_form("mmcblk0", "/dev/mmcblk0").has_value());
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"sdb", "/dev/sdc"},  {"sdb", "/dev/sdb1"},
      {"sdb", "/dev//sdb"}, {"sdb", "/dev/../dev/sdb"},
      {"sdb", "/tmp/sdb"},  {"sdb", "dev/sdb"},
      {"..", "/dev/.."},    {"disk/by-id/x", "/dev/disk/by-id/x"},
      {"", "/dev/"},        {"sdb", "/dev/sdb/"},
  };
  for (const auto& [id, path] : refused) {
    SCOPED_TRACE(id + " " + path);
    expect_refusal(check_target_form(id, path), codes::kDeviceNotRemovable,
                   kTargetFormMessage);
  }
}

TEST(ValidateDescription, RemovabilityRules) {
  const RemovabilityPolicy production{};
  const RemovabilityPolicy testing{.treat_loop_devices_as_removable = true};
  auto d = usb_stick();
  EXPECT_TRUE(validate_description(selection_of(d), d, production).has_value());
  d.ejectable = false;
  expect_refusal(validate_description(selection_of(d), d, production),
                 codes::kDeviceNotRemovable, kNotRemovableMessage);
  d.removable = true;  // removable alone suffices
  EXPECT_TRUE(validate_description(selection_of(d), d, production).has_value());
  d.writable = false;
  expect_refusal(validate_description(selection_of(d), d, production),
                 codes::kDeviceNotRemovable, kNotRemovableMessage);
  d.writable = true;
  d.whole = false;
  expect_refusal(validate_description(selection_of(d), d, production),
                 codes::kDeviceNotRemovable, kNotRemovableMessage);

  auto loop = usb_stick();
  loop.kernel_name = "loop4";
  loop.removable = false;
  loop.ejectable = false;
  loop.transport = BlockTransport::kLoop;
  expect_refusal(validate_description(selection_of(loop), loop, production),
                 codes::kDeviceNotRemovable, kNotRemovableMessage);
  EXPECT_TRUE(validate_description(selection_of(loop), loop, testing).has_value());
  // The testing policy is about loop devices only.
  loop.transport = BlockTransport::kOther;
  expect_refusal(validate_description(selection_of(loop), loop, testing),
                 codes::kDeviceNotRemovable, kNotRemovableMessage);
}

TEST(ValidateDescription, SelectionMustStillMatch) {
  const RemovabilityPolicy policy{};
  const auto d = usb_stick();
  auto target = selection_of(d);
  target.size_bytes += 1;
  expect_refusal(validate_description(target, d, policy), codes::kDeviceNotRemovable,
                 "sysfs identity or capacity changed after selection.");
  target = selection_of(d);
  target.device_id = "sdc";
  expect_refusal(validate_description(target, d, policy), codes::kDeviceNotRemovable,
                 "sysfs identity or capacity changed after selection.");
  target = selection_of(d);
  target.topology_path = d.bus_path + "/";
  expect_refusal(validate_description(target, d, policy), codes::kDeviceNotRemovable,
                 "The target hardware topology changed after selection.");
  target = selection_of(d);
  target.model = "cruzer blade";
  expect_refusal(validate_description(target, d, policy), codes::kDeviceNotRemovable,
                 "The target model changed after selection.");
  target.model = " Cruzer  Blade ";
  EXPECT_TRUE(validate_description(target, d, policy).has_value());
  target.model.reset();
  target.topology_path.reset();
  EXPECT_TRUE(validate_description(target, d, policy).has_value());
}

TEST(ValidateFreshDescription, AnyDifferenceIsADisconnect) {
  const RemovabilityPolicy policy{};
  const auto d = usb_stick();
  const HeldDiskFacts held{.selection = selection_of(d),
                           .logical_block_size = d.logical_block_size,
                           .device_number = d.device_number,
                           .disk_sequence = d.disk_sequence};
  EXPECT_TRUE(validate_fresh_description(held, d, policy).has_value());
  std::vector<std::function<void(BlockDeviceDescription&)>> changes = {
      [](auto& x) { x.kernel_name = "sdc"; },
      [](auto& x) { x.size_bytes += 512; },
      [](auto& x) { x.logical_block_size = 4096; },
      [](auto& x) { x.device_number = makedev(8, 32); },
      [](auto& x) { x.disk_sequence += 1; },
      [](auto& x) { x.model = "Other"; },
      [](auto& x) { x.bus_path = "/sys/devices/virtual/block/sdb"; },
      [](auto& x) { x.whole = false; },
      [](auto& x) { x.writable = false; },
      [](auto& x) { x.ejectable = false; },
  };
  for (std::size_t i = 0; i < changes.size(); ++i) {
    SCOPED_TRACE(i);
    auto changed = d;
    changes[i](changed);
    expect_refusal(validate_fresh_description(held, changed, policy),
                   codes::kDeviceDisconnected,
                   "sysfs identity changed while the target was held.");
  }
  auto padded = d;
  padded.model = "Cruzer   Blade ";
  EXPECT_TRUE(validate_fresh_description(held, padded, policy).has_value());
}

TEST(ValidateHeldGeometry, Table) {
  auto d = usb_stick();
  d.logical_block_size = 4096;
  const std::uint64_t size = d.size_bytes;
  const auto ok =
      validate_held_geometry(size, d, {.logical_block_size = 4096, .size_bytes = size});
  ASSERT_TRUE(ok.has_value()) << ok.error();
  EXPECT_EQ(*ok, size);
  struct Case {
    std::uint64_t block;
    std::uint64_t sysfs_block;
    std::uint64_t kernel_size;
    std::uint64_t target_size;
  };
  const std::vector<Case> refused = {
      {256, 256, size, size},
      {3072, 3072, size, size},
      {2097152, 2097152, size, size},
      {4096, 512, size, size},
      {4096, 4096, size + 512, size},
      {4096, 4096, size, size + 4096},
      {4096, 4096, 0, 0},
      {0, 0, size, size},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(std::to_string(c.block) + " " + std::to_string(c.kernel_size));
    auto described = d;
    described.logical_block_size = c.sysfs_block;
    described.size_bytes = c.kernel_size;
    const auto result = validate_held_geometry(
        c.target_size, described,
        {.logical_block_size = c.block, .size_bytes = c.kernel_size});
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().code(), codes::kDeviceNotRemovable);
    EXPECT_EQ(result.error().message(),
              "The held raw target geometry does not match the confirmed device.");
  }
  // sysfs's own size must agree with the kernel's too.
  auto other = d;
  other.size_bytes = size - 4096;
  EXPECT_FALSE(validate_held_geometry(size, other,
                                      {.logical_block_size = 4096, .size_bytes = size})
                   .has_value());
}

TEST(NormalizeWhitespace, Table) {
  EXPECT_EQ(normalize_whitespace("  Cruzer \t Blade\n"), "Cruzer Blade");
  EXPECT_EQ(normalize_whitespace("A\u00a0\u2003B\u3000"), "A B");
  EXPECT_EQ(normalize_whitespace(""), "");
  EXPECT_EQ(normalize_whitespace(" \n\t "), "");
  EXPECT_EQ(normalize_whitespace("Case"), "Case");
  EXPECT_EQ(normalize_whitespace("a\xff  b"), "a\xff b");
}

}  // namespace
}  // namespace ravik
