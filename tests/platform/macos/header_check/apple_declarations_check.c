/* The shared declaration checks, against Apple's published headers:
 * compiled for arm64-apple-macos13 with clang, never linked. */
#include <CoreFoundation/CoreFoundation.h>
#include <DiskArbitration/DiskArbitration.h>
#include <libproc.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/disk.h>
#include <sys/event.h>
#include <sys/fcntl.h>
#include <sys/ioctl.h>
#include <sys/proc_info.h>
#include <sys/stat.h>
#include <sys/stdio.h>

/* Declared in the framework's private header, which the published release
 * cannot compile on its own (it needs mach/mach.h); this is its
 * declaration, verbatim. */
extern const CFStringRef kDADiskDescriptionAppearanceTimeKey;

#define RAVIK_STATIC_ASSERT(condition, text) _Static_assert(condition, text)

#include "declarations.inc"
