#include "platform/linux/libmount_table.h"

#include <cerrno>

namespace ravik {
namespace {

int refuse_malformed_line(libmnt_table*, const char*, int) { return -EINVAL; }

struct FreeIterator {
  void operator()(libmnt_iter* iterator) const { mnt_free_iter(iterator); }
};

}  // namespace

MountTablePtr new_strict_mount_table() {
  MountTablePtr table(mnt_new_table());
  if (table) mnt_table_set_parser_errcb(table.get(), refuse_malformed_line);
  return table;
}

bool for_each_mount_entry(libmnt_table* table,
                          const std::function<bool(libmnt_fs*)>& visit) {
  std::unique_ptr<libmnt_iter, FreeIterator> iterator(mnt_new_iter(MNT_ITER_FORWARD));
  if (!iterator) return false;
  libmnt_fs* entry = nullptr;
  while (mnt_table_next_fs(table, iterator.get(), &entry) == 0) {
    if (!visit(entry)) return false;
  }
  return true;
}

}  // namespace ravik
