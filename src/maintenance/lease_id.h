// Lease IDs: 32 random bytes written as 64 lower-case hexadecimal characters.
// They name one hold of the maintenance lock and serve as installer lease
// tokens and guardian request IDs. Thread-safe (no shared state).
#ifndef RAVIK_MAINTENANCE_LEASE_ID_H_
#define RAVIK_MAINTENANCE_LEASE_ID_H_

#include <string>

#include "error/helper_error.h"

namespace ravik {

inline constexpr char kRandomSourcePath[] = "/dev/urandom";
inline constexpr std::size_t kLeaseIdRandomBytes = 32;

// A new lease ID from "/dev/urandom". Fails with "MAINTENANCE_UNAVAILABLE"
// when the source cannot be opened or yields fewer than 32 bytes.
Result<std::string> random_lease_id();

// The same from another source; tests use it to make the source fail.
Result<std::string> random_lease_id_from(const char* source_path);

}  // namespace ravik

#endif  // RAVIK_MAINTENANCE_LEASE_ID_H_
