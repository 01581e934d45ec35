// Reading an IPv4 ICMP packet as a raw socket receives it (IP header first):
// an echo reply to our identifier, or an error quoting one of our requests.
// Shared by the raw socket backends; pure bytes, no system calls.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/inet/sweep_io.h"

namespace ps::platform {

// Fills `m` (kind, type, code, ttl, from, about, sequence, data) and returns
// true for an echo reply carrying `identifier` or an error about a request
// that carried it; false for anything else (our own requests seen on
// loopback, another program's ping, a damaged packet). `whole`: the packet was
// not cut to the buffer (a cut one cannot have its checksum checked).
bool ParseRawIcmp4(const std::uint8_t* packet, std::size_t size, bool whole,
                   std::uint16_t identifier, IcmpMessage* m);

}  // namespace ps::platform
