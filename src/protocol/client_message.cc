#include "protocol/client_message.h"

#include <type_traits>

#include "protocol/wire_names.h"

namespace ravik {

std::string_view wire_name(PlatformName value) { return name_in(kPlatformNames, value); }
std::string_view wire_name(TailPolicy value) { return name_in(kTailPolicyNames, value); }
std::string_view wire_name(VerifyModeWire value) {
  return name_in(kVerifyModeNames, value);
}
std::string_view wire_name(RecoveryFilesystem value) {
  return name_in(kRecoveryFilesystemNames, value);
}

std::uint16_t ClientMessage::protocol_version() const {
  return std::visit([](const auto& command) { return command.protocol_version; },
                    payload);
}

std::string_view ClientMessage::type_name() const {
  return std::visit(
      [](const auto& command) -> std::string_view {
        using T = std::decay_t<decltype(command)>;
        if constexpr (std::is_same_v<T, OpenWriteRequest>) return "open_write";
        if constexpr (std::is_same_v<T, OpenFormatRequest>) return "open_format";
        if constexpr (std::is_same_v<T, OpenReadRequest>) return "open_read";
        if constexpr (std::is_same_v<T, VerifyCommand>) return "verify";
        if constexpr (std::is_same_v<T, ReadCommand>) return "read";
        if constexpr (std::is_same_v<T, OpenBootCommand>) return "openBoot";
        if constexpr (std::is_same_v<T, BootReadFileCommand>) return "bootReadFile";
        if constexpr (std::is_same_v<T, BootWriteFileCommand>) return "bootWriteFile";
        if constexpr (std::is_same_v<T, CloseBootCommand>) return "closeBoot";
        if constexpr (std::is_same_v<T, RecoverCommand>) return "recover";
        if constexpr (std::is_same_v<T, ProbeCapacityCommand>) return "probeCapacity";
        if constexpr (std::is_same_v<T, EjectCommand>) return "eject";
        if constexpr (std::is_same_v<T, ReleaseCommand>) return "release";
        if constexpr (std::is_same_v<T, CloseCommand>) return "close";
        if constexpr (std::is_same_v<T, CancelCommand>) return "cancel";
      },
      payload);
}

}  // namespace ravik
