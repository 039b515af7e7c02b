// STUB for the -fsyntax-only check of installer_platform_macos.cc off Apple
// platforms: proc_pidinfo with the BSD-info flavour, and the declarations
// that file needs from macOS's unistd.h, fcntl.h and stdio.h, which glibc
// lacks. Never linked; see README.md.
#ifndef RAVIK_STUB_LIBPROC_H_
#define RAVIK_STUB_LIBPROC_H_

#include <sys/proc_info.h>
#include <sys/types.h>

int proc_pidinfo(int pid, int flavor, std::uint64_t arg, void* buffer, int buffersize);

int getpeereid(int socket, uid_t* euid, gid_t* egid);
#define F_FULLFSYNC 51
int renameatx_np(int from_fd, const char* from, int to_fd, const char* to,
                 unsigned int flags);
#define RENAME_EXCL 0x00000004

#endif  // RAVIK_STUB_LIBPROC_H_
