// STUB for the -fsyntax-only check of apple_mac_system.cc off Apple
// platforms: the three disk ioctl requests that file uses, with the values
// of the real requests. Never linked; see ../README.md.
#ifndef RAVIK_STUB_SYS_DISK_H_
#define RAVIK_STUB_SYS_DISK_H_

#define DKIOCGETBLOCKSIZE 0x40046418UL
#define DKIOCGETBLOCKCOUNT 0x40086419UL
#define DKIOCSYNCHRONIZECACHE 0x20006416UL

#endif  // RAVIK_STUB_SYS_DISK_H_
