#include "platform/netapi/echo_reply_map.h"

#include <cstring>

namespace ps::platform {

bool MapEchoReply(const ServiceEchoReply& reply, bool replied, void* buffer, DWORD size) {
  if (!replied) {
    EncodeEchoReplyHeader(FailureHeader(reply.status, reply.address), buffer);
    return true;
  }
  const DWORD options_size = reply.options_data != nullptr ? reply.options.OptionsSize : 0;
  const DWORD options_space = (options_size + 3) & ~DWORD{3};
  const DWORD data_at = kEchoReplyHeaderSize + options_space;
  if (size < data_at || size - data_at < reply.data_size ||
      (reply.data == nullptr && reply.data_size > 0)) {
    EncodeEchoReplyHeader(FailureHeader(IP_BUF_TOO_SMALL, reply.address), buffer);
    return false;
  }
  EchoReplyHeader h;
  h.Address = reply.address;
  h.Status = reply.status;
  h.RoundTripTime = reply.round_trip_ms;
  h.DataSize = reply.data_size;
  h.Data = data_at;
  h.Options = reply.options;
  h.Options.OptionsSize = static_cast<std::uint8_t>(options_size);
  h.Options.OptionsData = kEchoReplyHeaderSize;
  auto* out = static_cast<std::uint8_t*>(buffer);
  EncodeEchoReplyHeader(h, out);
  if (options_space > 0) {
    std::memset(out + kEchoReplyHeaderSize, 0, options_space);
    std::memcpy(out + kEchoReplyHeaderSize, reply.options_data, options_size);
  }
  if (reply.data_size > 0) std::memcpy(out + data_at, reply.data, reply.data_size);
  return true;
}

}  // namespace ps::platform
