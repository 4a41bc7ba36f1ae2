#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/shared_bytes.h"

// The bytes of the Server-Sent Events answer that browsers' EventSource reads. Each event's data
// is one line of JSON, so that a page recovers the event's exact bytes and its sender whatever
// the bytes are: the text as a JSON string when it is UTF-8 (readable as it stands in the
// common case), otherwise its base64 form.

// The response header, with the CORS lines for an allowed origin ("" for none).
SharedBytes EventStreamHeader(std::string_view allowedOrigin);

SharedBytes EventStreamEvent(std::string_view id, std::int64_t atMs, std::string_view senderIp,
                             std::string_view eventText);

SharedBytes EventStreamKeepAlive(std::string_view localDateTime);

// The keep-alive as a named event, for pages that show the relay is alive: a comment never
// reaches their script.
SharedBytes EventStreamAlive(std::int64_t atMs);

// A named event telling a resuming client that events may be missing: how many, when known.
SharedBytes EventStreamMissed(std::optional<std::uint64_t> count);

// Appends text as the body of a JSON string (without the quotes); text must be valid UTF-8.
void AppendJsonString(std::string& out, std::string_view text);
bool IsValidUtf8(std::string_view text);
void AppendBase64(std::string& out, std::string_view bytes);
