#pragma once

#include <string_view>

#include "common/shared_bytes.h"

// The bytes of the push stream: one "multipart/x-mixed-replace" response that never ends.
// Every part ends with the delimiter line, which also opens the next part.

inline constexpr std::string_view StreamBoundary = "ABCDEF12345678";

// The one response header (102 bytes), shared by every session.
const SharedBytes& ResponseHeader();

// An event part carries the event text unchanged, whatever bytes it holds.
SharedBytes EventPart(std::string_view eventText, bool UseEventContentType);

SharedBytes KeepAlivePart(std::string_view localDateTime);
