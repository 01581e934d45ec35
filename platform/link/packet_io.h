// The seam under ARP discovery: link-layer sockets bound to one interface, the
// interfaces they can be bound to. The Linux
// implementations are in linux_packet_socket.cc; tests use fakes.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/mac_address.h"
#include "core/status.h"
#include "platform/clock/monotonic_clock.h"

namespace ps::platform {

// A network interface as link-layer discovery sees it.
struct Link {
  struct Ipv4Address {
    std::uint32_t address = 0;  // host order
    int prefix = 0;
  };
  std::string name;
  int index = 0;
  MacAddress mac;
  bool up = false;
  // Ethernet-like, not loopback, ARP not switched off (IFF_NOARP).
  bool arp = false;
  std::vector<Ipv4Address> ipv4;
};

// One frame to send: the payload follows the link header the socket adds.
struct OutgoingFrame {
  MacAddress destination;
  const std::uint8_t* data = nullptr;
  std::uint16_t size = 0;
};

// One frame received: its link-layer source, how it was addressed, and the
// start of its payload.
struct IncomingFrame {
  static constexpr std::size_t kMaxData = 64;
  MacAddress source;
  bool to_us = false;             // addressed to this interface, not broadcast or multicast
  std::int64_t received_ns = 0;   // kernel receive time, on the monotonic clock
  std::uint16_t size = 0;         // bytes kept (at most kMaxData)
  std::array<std::uint8_t, kMaxData> data{};
};

// A link-layer socket for one protocol on one interface. Frames this machine
// sends itself are never received. Not thread-safe.
class PacketSocket {
 public:
  struct SendResult {
    int sent = 0;   // frames handed to the kernel, from the first
    int error = 0;  // when sent < frames.size(): errno for frames[sent]
  };

  virtual ~PacketSocket() = default;
  // Sends the frames in order, in as few system calls as it can. A full
  // device queue stops the send with ENOBUFS or EAGAIN: try again later.
  virtual SendResult Send(std::span<const OutgoingFrame> frames) = 0;
  // Waits until a frame is queued or the monotonic clock reaches
  // `deadline_ns` (a signal also ends the wait), then reads what is queued, up
  // to out.size() frames. Returns how many (0 on time-out), or why the
  // socket failed.
  virtual Result<std::size_t> Receive(std::span<IncomingFrame> out, std::int64_t deadline_ns) = 0;
};

class PacketNetwork {
 public:
  virtual ~PacketNetwork() = default;
  // The interfaces of this network namespace; empty when they cannot be read.
  virtual std::vector<Link> Links() = 0;
  // An ARP socket on interface `ifindex` (its requests and replies only), or
  // why not: the message is PacketSocketErrorText() of the system's number
  // (EPERM: CAP_NET_RAW missing).
  virtual Result<std::unique_ptr<PacketSocket>> OpenArp(int ifindex) = 0;
};

// The process-wide real implementation.
PacketNetwork& SystemPacketNetwork();

// Why a packet socket could not be opened, as one sentence for the user.
std::string PacketSocketErrorText(int error);
// That sentence and the number, as OpenArp() gives them.
Status PacketSocketFailure(int error);

}  // namespace ps::platform
