// STUB for the -fsyntax-only check of apple_mac_system.cc off Apple
// platforms: only the Disk Arbitration declarations that file uses. Never
// linked; see ../README.md.
#ifndef RAVIK_STUB_DISKARBITRATION_H_
#define RAVIK_STUB_DISKARBITRATION_H_

#include <CoreFoundation/CoreFoundation.h>
#include <dispatch/dispatch.h>

typedef struct __DASession* DASessionRef;
typedef struct __DADisk* DADiskRef;
typedef const struct __DADissenter* DADissenterRef;
typedef std::int32_t DAReturn;
typedef std::uint32_t DADiskOptions;
typedef DADiskOptions DADiskUnmountOptions;
typedef DADiskOptions DADiskClaimOptions;
typedef DADiskOptions DADiskEjectOptions;

enum { kDAReturnBusy = static_cast<DAReturn>(0xF8DA0002u) };
enum { kDAReturnExclusiveAccess = static_cast<DAReturn>(0xF8DA0004u) };
enum { kDADiskUnmountOptionWhole = 0x00000001 };
enum { kDADiskClaimOptionDefault = 0x00000000 };
enum { kDADiskEjectOptionDefault = 0x00000000 };

typedef void (*DADiskUnmountCallback)(DADiskRef disk, DADissenterRef dissenter,
                                      void* context);
typedef void (*DADiskClaimCallback)(DADiskRef disk, DADissenterRef dissenter,
                                    void* context);
typedef DADissenterRef (*DADiskClaimReleaseCallback)(DADiskRef disk, void* context);
typedef void (*DADiskEjectCallback)(DADiskRef disk, DADissenterRef dissenter,
                                    void* context);
typedef DADissenterRef (*DADiskMountApprovalCallback)(DADiskRef disk, void* context);
typedef DADissenterRef (*DADiskUnmountApprovalCallback)(DADiskRef disk, void* context);
typedef DADissenterRef (*DADiskEjectApprovalCallback)(DADiskRef disk, void* context);
typedef void (*DADiskDisappearedCallback)(DADiskRef disk, void* context);

extern const CFStringRef kDADiskDescriptionMediaBSDNameKey;
extern const CFStringRef kDADiskDescriptionMediaSizeKey;
extern const CFStringRef kDADiskDescriptionMediaBlockSizeKey;
extern const CFStringRef kDADiskDescriptionMediaBSDMajorKey;
extern const CFStringRef kDADiskDescriptionMediaBSDMinorKey;
extern const CFStringRef kDADiskDescriptionDeviceModelKey;
extern const CFStringRef kDADiskDescriptionBusPathKey;
extern const CFStringRef kDADiskDescriptionMediaWholeKey;
extern const CFStringRef kDADiskDescriptionMediaWritableKey;
extern const CFStringRef kDADiskDescriptionMediaRemovableKey;
extern const CFStringRef kDADiskDescriptionMediaEjectableKey;
extern const CFStringRef kDADiskDescriptionMediaBSDUnitKey;
extern const CFStringRef kDADiskDescriptionMediaPathKey;
extern const CFStringRef kDADiskDescriptionDevicePathKey;

DASessionRef DASessionCreate(CFAllocatorRef allocator);
void DASessionSetDispatchQueue(DASessionRef session, dispatch_queue_t queue);
void DARegisterDiskMountApprovalCallback(DASessionRef session, CFDictionaryRef match,
                                         DADiskMountApprovalCallback callback,
                                         void* context);
void DARegisterDiskUnmountApprovalCallback(DASessionRef session, CFDictionaryRef match,
                                           DADiskUnmountApprovalCallback callback,
                                           void* context);
void DARegisterDiskEjectApprovalCallback(DASessionRef session, CFDictionaryRef match,
                                         DADiskEjectApprovalCallback callback,
                                         void* context);
void DARegisterDiskDisappearedCallback(DASessionRef session, CFDictionaryRef match,
                                       DADiskDisappearedCallback callback, void* context);
void DAUnregisterApprovalCallback(DASessionRef session, void* callback, void* context);
void DAUnregisterCallback(DASessionRef session, void* callback, void* context);
DADiskRef DADiskCreateFromBSDName(CFAllocatorRef allocator, DASessionRef session,
                                  const char* name);
CFDictionaryRef DADiskCopyDescription(DADiskRef disk);
void DADiskUnmount(DADiskRef disk, DADiskUnmountOptions options,
                   DADiskUnmountCallback callback, void* context);
void DADiskClaim(DADiskRef disk, DADiskClaimOptions options,
                 DADiskClaimReleaseCallback release, void* release_context,
                 DADiskClaimCallback callback, void* callback_context);
Boolean DADiskIsClaimed(DADiskRef disk);
void DADiskUnclaim(DADiskRef disk);
void DADiskEject(DADiskRef disk, DADiskEjectOptions options, DADiskEjectCallback callback,
                 void* context);
DADissenterRef DADissenterCreate(CFAllocatorRef allocator, DAReturn status,
                                 CFStringRef string);
DAReturn DADissenterGetStatus(DADissenterRef dissenter);

#endif  // RAVIK_STUB_DISKARBITRATION_H_
