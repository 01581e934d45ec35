// An echo service's reply, as its own record reports it, written into a reply
// buffer in the 28-byte layout of echo_reply.h: for a service whose records
// are laid out otherwise (a 64-bit ICMP_ECHO_REPLY is 40 bytes: its pointers
// are 8 bytes wide).
#pragma once

#include <cstdint>

#include "platform/netapi/echo_reply.h"

namespace ps::platform {

struct ServiceEchoReply {
  IPAddr address = 0;  // network byte order
  DWORD status = 0;
  DWORD round_trip_ms = 0;
  const std::uint8_t* data = nullptr;
  WORD data_size = 0;
  IP_OPTION_INFORMATION options{};  // Ttl, Tos, Flags, OptionsSize; OptionsData unused
  const std::uint8_t* options_data = nullptr;
};

// Writes `reply` into the `size` bytes at `buffer`. With `replied` false only
// the header is written (address and status of the failure) and every byte
// from kEchoReplyHeaderSize on keeps its value. Otherwise the header, then the
// reply's IP options padded to 4 bytes, then its data, with Data and
// OptionsData as offsets from `buffer`; when they do not fit, the header
// alone with IP_BUF_TOO_SMALL, and false.
bool MapEchoReply(const ServiceEchoReply& reply, bool replied, void* buffer, DWORD size);

}  // namespace ps::platform
