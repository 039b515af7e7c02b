// STUB for the -fsyntax-only check of installer_platform_macos.cc off Apple
// platforms: proc_pidinfo with the BSD-info flavour, and the two
// declarations that file needs from macOS's unistd.h and fcntl.h, which
// glibc lacks. Never linked; see README.md.
#ifndef RAVIK_STUB_LIBPROC_H_
#define RAVIK_STUB_LIBPROC_H_

#include <sys/proc_info.h>
#include <sys/types.h>

int proc_pidinfo(int pid, int flavor, std::uint64_t arg, void* buffer, int buffersize);

int getpeereid(int socket, uid_t* euid, gid_t* egid);
#define F_FULLFSYNC 51

#endif  // RAVIK_STUB_LIBPROC_H_
