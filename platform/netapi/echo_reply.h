// The reply header an echo service writes at the start of a reply buffer: the
// 28 bytes of the 32-bit ICMP_ECHO_REPLY layout, little-endian, with locations
// (Data, OptionsData) as byte offsets from the start of the buffer.
#pragma once

#include <cstddef>

#include "platform/netapi/net_services.h"

namespace ps::platform {

struct EchoReplyHeader {
  IPAddr Address = 0;  // network byte order, stored as its bytes lie in memory
  DWORD Status = 0;
  DWORD RoundTripTime = 0;  // ms
  WORD DataSize = 0;
  WORD Reserved = 0;
  DWORD Data = 0;
  IP_OPTION_INFORMATION Options{};
};

// Writes all kEchoReplyHeaderSize bytes of `header` to `buffer`.
void EncodeEchoReplyHeader(const EchoReplyHeader& header, void* buffer);
// Reads the first kEchoReplyHeaderSize bytes of `buffer`.
EchoReplyHeader DecodeEchoReplyHeader(const void* buffer);

// A header that carries only a failure's status and, when known, who reported it.
inline EchoReplyHeader FailureHeader(DWORD status, IPAddr reporter = 0) {
  EchoReplyHeader header;
  header.Address = reporter;
  header.Status = status;
  return header;
}

}  // namespace ps::platform
