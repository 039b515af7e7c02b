// The shared declaration checks against the project's stand-in headers
// (framework_stubs), with glibc standing in for POSIX: the stand-ins that
// compile the macOS code here must declare what Apple's headers declare.
// Compiled for syntax only, never linked.
#include <CoreFoundation/CoreFoundation.h>
#include <DiskArbitration/DiskArbitration.h>
#include <fcntl.h>
#include <libproc.h>
#include <sys/disk.h>
#include <sys/event.h>
#include <sys/ioctl.h>
#include <sys/proc_info.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>

extern "C" const CFStringRef kDADiskDescriptionAppearanceTimeKey;

#define RAVIK_STATIC_ASSERT(condition, text) static_assert(condition, text)

#include "declarations.inc"
