// The one-shot sender: one sentence as one UDP datagram, on a socket and an
// io_context of its own that live only for the call. Callable from any thread.
#pragma once

#include <cstdint>
#include <string>

// Sends the exact bytes of `text` (no terminating NUL) to `destination`. With
// `portOverride` 0 the destination is "host:port" (blanks around either part
// are ignored); otherwise the whole destination is the host and the override
// the port. The host must be a numeric IPv4 address: no name lookup is done.
// Returns whether the datagram was sent; never throws.
bool sendSentence(const std::string& text, const std::string& destination, std::uint16_t portOverride);
