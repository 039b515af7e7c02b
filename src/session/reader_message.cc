#include "session/reader_message.h"

namespace ravik {

std::optional<std::string> operation_id_of(const ClientMessage& message) {
  return std::visit(
      [](const auto& command) -> std::optional<std::string> {
        using Command = std::decay_t<decltype(command)>;
        if constexpr (kIsOpenRequest<Command>) {
          return std::nullopt;
        } else {
          return command.operation_id;
        }
      },
      message.payload);
}

}  // namespace ravik
