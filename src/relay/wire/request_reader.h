#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Frames a client's subscription request out of its arrivals, which may split or join the
// request's text anywhere. Knows nothing of sockets: the caller acts on what it says.

inline constexpr std::size_t MaxArrivalLength = 1000;
inline constexpr std::size_t MaxRequestLength = 1000;

enum class RequestProgress {
  Ignored,      // an empty or over-long arrival, left out of the request
  Incomplete,   // kept; the empty line that ends the request has not come yet
  Complete,     // the request is whole
  TooLong,      // the request already holds the limit and more came
  AfterAnswer,  // the request was answered and more came
};

// Adds one arrival to requestBuffer, the request text so far; answered tells whether the
// request was already answered.
RequestProgress ReadArrival(std::string& requestBuffer, bool answered, std::string_view arrival);
