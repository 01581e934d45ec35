// The Linux echo service's receive side: reading what arrived on an echo
// socket and deciding whether it answers one outstanding request.
#pragma once

#include <cstdint>

#include "platform/netapi/linux_net_services.h"

namespace ps::platform::linux_echo {

// One request awaiting its answer.
struct Probe {
  IPAddr destination;
  std::uint16_t identifier;  // raw sockets only; the kernel owns it on datagram ones
  std::uint16_t sequence;
  std::int64_t start_ns;     // monotonic, just before the send
  std::int64_t deadline_ns;  // monotonic
  void* reply_buffer;
  DWORD reply_size;
};

// What reading the socket decided.
enum class Match {
  kNone,   // nothing about this request yet
  kReply,  // its echo reply: header and data written to the reply buffer
  kError,  // a failure: its status written to the reply header
};

// Now on the monotonic clock, in ns.
std::int64_t MonotonicNs();

// Reads everything queued on the socket without blocking; stops at the first
// packet that decides the probe. Packets that came after the deadline decide
// nothing.
Match Drain(int fd, LinuxEchoService::SocketKind kind, const Probe& probe);

}  // namespace ps::platform::linux_echo
