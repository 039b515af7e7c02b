// The JSON text of one event line: compact, `event` first, then the header
// and the kind's members in their fixed order, optional members left out when
// absent, strings with the minimal escapes of json_string.h. No line feed;
// event_writer.h frames and flushes the line. Pure; thread-safe.
#ifndef RAVIK_PROTOCOL_EVENT_ENCODING_H_
#define RAVIK_PROTOCOL_EVENT_ENCODING_H_

#include <string>

#include "protocol/server_event.h"

namespace ravik {

std::string encode_event(const ServerEvent& event);

}  // namespace ravik

#endif  // RAVIK_PROTOCOL_EVENT_ENCODING_H_
