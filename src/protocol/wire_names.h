// The wire spellings of the protocol's string enumerations, shared by the
// command decoder and the event encoder. Constant tables; thread-safe.
#ifndef RAVIK_PROTOCOL_WIRE_NAMES_H_
#define RAVIK_PROTOCOL_WIRE_NAMES_H_

#include <array>

#include "json/json_object_reader.h"
#include "protocol/client_message.h"

namespace ravik {

inline constexpr std::array<WireName<PlatformName>, 2> kPlatformNames{{
    {"macos", PlatformName::kMacos},
    {"linux", PlatformName::kLinux},
}};
inline constexpr std::array<WireName<TailPolicy>, 2> kTailPolicyNames{{
    {"exact", TailPolicy::kExact},
    {"zero-pad-sector", TailPolicy::kZeroPadSector},
}};
inline constexpr std::array<WireName<VerifyModeWire>, 1> kVerifyModeNames{{
    {"full", VerifyModeWire::kFull},
}};
inline constexpr std::array<WireName<RecoveryFilesystem>, 1> kRecoveryFilesystemNames{{
    {"fat32", RecoveryFilesystem::kFat32},
}};

template <class E, std::size_t N>
constexpr std::string_view name_in(const std::array<WireName<E>, N>& names, E value) {
  for (const auto& entry : names) {
    if (entry.value == value) return entry.name;
  }
  return {};
}

}  // namespace ravik

#endif  // RAVIK_PROTOCOL_WIRE_NAMES_H_
