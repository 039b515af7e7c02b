// STUB: the BSD-info record of proc_pidinfo, laid out member for member as
// xnu declares it (136 bytes), for installer_platform_macos.cc. Never
// linked; see ../README.md.
#ifndef RAVIK_STUB_SYS_PROC_INFO_H_
#define RAVIK_STUB_SYS_PROC_INFO_H_

#include <sys/types.h>

#include <cstdint>

#define PROC_PIDTBSDINFO 3
#define PROC_FLAG_SYSTEM 1

struct proc_bsdinfo {
  std::uint32_t pbi_flags;
  std::uint32_t pbi_status;
  std::uint32_t pbi_xstatus;
  std::uint32_t pbi_pid;
  std::uint32_t pbi_ppid;
  uid_t pbi_uid;
  gid_t pbi_gid;
  uid_t pbi_ruid;
  gid_t pbi_rgid;
  uid_t pbi_svuid;
  gid_t pbi_svgid;
  std::uint32_t rfu_1;
  char pbi_comm[16];
  char pbi_name[32];
  std::uint32_t pbi_nfiles;
  std::uint32_t pbi_pgid;
  std::uint32_t pbi_pjobc;
  std::uint32_t e_tdev;
  std::uint32_t e_tpgid;
  std::int32_t pbi_nice;
  std::uint64_t pbi_start_tvsec;
  std::uint64_t pbi_start_tvusec;
};

#endif  // RAVIK_STUB_SYS_PROC_INFO_H_
