// Owning handles for libmount's tables and iterators, and the strict parse of
// a table file that the mount table and the swap list share. Thread-safe.
#ifndef RAVIK_PLATFORM_LINUX_LIBMOUNT_TABLE_H_
#define RAVIK_PLATFORM_LINUX_LIBMOUNT_TABLE_H_

#include <libmount/libmount.h>

#include <cstdio>
#include <functional>
#include <memory>

namespace ravik {

struct UnrefMountTable {
  void operator()(libmnt_table* table) const { mnt_unref_table(table); }
};
using MountTablePtr = std::unique_ptr<libmnt_table, UnrefMountTable>;

// A table whose parser fails on the first malformed line instead of skipping
// it; null when libmount cannot allocate one.
MountTablePtr new_strict_mount_table();

// Calls `visit` for every entry of `table` in table order; stops early and
// returns false when `visit` does.
bool for_each_mount_entry(libmnt_table* table,
                          const std::function<bool(libmnt_fs*)>& visit);

}  // namespace ravik

#endif  // RAVIK_PLATFORM_LINUX_LIBMOUNT_TABLE_H_
