// UDP datagram sockets for the name queries (multicast DNS, NetBIOS, LLMNR,
// SSDP): unicast to a host, multicast to a link's group, and every answer
// with the address and port it came from and the address it was sent to, so
// that callers can check who answered. The Linux implementation is in
// linux_udp.cc; FakeUdpNetwork (udp_fakes.h) serves the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/ip_address.h"
#include "core/status.h"

namespace ps::platform {

struct UdpOptions {
  IpAddress::Family family = IpAddress::Family::kV4;
  // 0: an ephemeral port. A well-known port (5353) can only be shared when
  // `share_port` is set and every other holder allows it too.
  std::uint16_t port = 0;
  bool share_port = false;
  bool broadcast = false;          // may send to a subnet's broadcast address
  int multicast_hops = 1;          // TTL / hop limit of multicast sends
  bool multicast_loop = false;     // see our own multicast sends
};

// Where a datagram came from and where it went.
struct UdpPeer {
  IpAddress from;
  std::uint16_t from_port = 0;
  IpAddress to;                    // the destination: ours, a group, a broadcast
  std::uint32_t interface_index = 0;
  std::int64_t received_ns = 0;    // on the monotonic clock
};

// One bound socket. One thread may send (and join) while another receives;
// no more than that.
class UdpSocket {
 public:
  virtual ~UdpSocket() = default;
  virtual std::uint16_t local_port() const = 0;
  // Joins `group` on the interface (index) so that its datagrams arrive here.
  virtual Status JoinGroup(const IpAddress& group, std::uint32_t interface_index) = 0;
  // Sends one datagram. `interface_index` picks the outgoing interface of a
  // multicast or link-local send; 0 lets routing choose.
  virtual Status SendTo(const IpAddress& to, std::uint16_t port,
                        std::span<const std::uint8_t> payload,
                        std::uint32_t interface_index = 0) = 0;
  // Waits until a datagram is queued or the monotonic clock reaches
  // `deadline_ns` (a signal also ends the wait), then reads one. Returns its
  // length (truncated to buffer.size()), -ETIMEDOUT on time-out, -errno on a
  // failure.
  virtual int Receive(std::span<std::uint8_t> buffer, UdpPeer* peer, std::int64_t deadline_ns) = 0;
};

class UdpOpener {
 public:
  virtual ~UdpOpener() = default;
  virtual Result<std::unique_ptr<UdpSocket>> Open(const UdpOptions& options) = 0;
  // The gateways of the default routes (IPv4 first); empty when none.
  virtual std::vector<IpAddress> DefaultGateways() { return {}; }
};

// The process-wide real implementation.
UdpOpener* SystemUdpOpener();

}  // namespace ps::platform
