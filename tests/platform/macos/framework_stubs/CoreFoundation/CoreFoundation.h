// STUB for the -fsyntax-only check of apple_mac_system.cc off Apple
// platforms: only the Core Foundation declarations that file uses. Never
// linked; see ../README.md.
#ifndef RAVIK_STUB_COREFOUNDATION_H_
#define RAVIK_STUB_COREFOUNDATION_H_

#include <cstdint>

typedef unsigned char Boolean;
typedef std::int64_t SInt64;
typedef std::int32_t SInt32;
typedef long CFIndex;
typedef unsigned long CFTypeID;
typedef std::uint32_t CFStringEncoding;
typedef double CFTimeInterval;
typedef const void* CFTypeRef;
typedef const struct __CFAllocator* CFAllocatorRef;
typedef const struct __CFString* CFStringRef;
typedef const struct __CFDictionary* CFDictionaryRef;
typedef const struct __CFNumber* CFNumberRef;
typedef const struct __CFBoolean* CFBooleanRef;
typedef struct __CFRunLoop* CFRunLoopRef;

enum { kCFNumberSInt64Type = 4 };
typedef CFIndex CFNumberType;
enum { kCFStringEncodingUTF8 = 0x08000100 };
typedef SInt32 CFRunLoopRunResult;

extern const CFAllocatorRef kCFAllocatorDefault;
extern const CFStringRef kCFRunLoopDefaultMode;

void CFRelease(CFTypeRef object);
CFTypeID CFGetTypeID(CFTypeRef object);
CFTypeID CFStringGetTypeID(void);
CFTypeID CFNumberGetTypeID(void);
CFTypeID CFBooleanGetTypeID(void);
const void* CFDictionaryGetValue(CFDictionaryRef dictionary, const void* key);
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType type, void* value);
Boolean CFBooleanGetValue(CFBooleanRef boolean);
CFIndex CFStringGetLength(CFStringRef string);
CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding);
Boolean CFStringGetCString(CFStringRef string, char* buffer, CFIndex buffer_size,
                           CFStringEncoding encoding);
CFRunLoopRef CFRunLoopGetCurrent(void);
CFRunLoopRunResult CFRunLoopRunInMode(CFStringRef mode, CFTimeInterval seconds,
                                      Boolean return_after_source_handled);

#endif  // RAVIK_STUB_COREFOUNDATION_H_
