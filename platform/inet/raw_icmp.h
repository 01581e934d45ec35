// IPv4 ICMP packets as bytes: an echo request written for sending, and a
// packet read as a raw socket receives it (IP header first): an echo reply to
// our identifier, or an error quoting one of our requests. Shared by the
// Linux and Windows backends; no system calls.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/inet/sweep_io.h"

namespace ps::platform {

// Writes `r` as an ICMP echo request carrying `identifier` (header with its
// checksum, then the data) at `packet`, which has room for 8 + r.size bytes;
// returns its size. Without `checksum` the field is left 0: a datagram
// socket's kernel computes it over the header it builds itself.
std::size_t WriteEchoRequest4(const EchoRequest& r, std::uint16_t identifier, std::uint8_t* packet,
                              bool checksum = true);

// Fills `m` (kind, type, code, ttl, tos, dont_fragment, from, about,
// sequence, data) and returns
// true for an echo reply carrying `identifier` or an error about a request
// that carried it; false for anything else (our own requests seen on
// loopback, another program's ping, a damaged packet). `whole`: the packet was
// not cut to the buffer (a cut one cannot have its checksum checked).
bool ParseRawIcmp4(const std::uint8_t* packet, std::size_t size, bool whole,
                   std::uint16_t identifier, IcmpMessage* m);

}  // namespace ps::platform
