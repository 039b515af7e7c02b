// Strict decoding of one command object into a ClientMessage: unknown,
// repeated and missing members, wrong JSON types, non-integer or out-of-range
// numbers, unknown `type` and unknown enumeration values are all decoding
// errors. The protocol version is decoded but not checked here (read_frame
// does that after decoding). Pure function; thread-safe.
#ifndef RAVIK_PROTOCOL_CLIENT_MESSAGE_DECODE_H_
#define RAVIK_PROTOCOL_CLIENT_MESSAGE_DECODE_H_

#include <string_view>

#include "json/strict_json.h"
#include "protocol/client_message.h"

namespace ravik {

DecodeResult<ClientMessage> decode_client_message(std::string_view json_text);

}  // namespace ravik

#endif  // RAVIK_PROTOCOL_CLIENT_MESSAGE_DECODE_H_
