// The seam under the watch's passive listening: a link-layer socket on one
// interface that receives, without sending anything, the packets that tell
// which devices are there: ARP, IPv6 neighbour and router discovery (ICMPv6
// types 133 to 136) and DHCP requests (UDP to port 67). What it receives comes
// from anyone on the link: read it as hostile.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "core/mac_address.h"
#include "core/status.h"

namespace ps::platform {

// One packet received: its link-layer source and protocol, and the network
// layer packet from its start, cut at kMaxData.
struct HeardFrame {
  static constexpr std::size_t kMaxData = 1024;  // a DHCP request's options fit
  MacAddress source;
  std::uint16_t protocol = 0;  // EtherType, host order: 0x0806 ARP, 0x86dd IPv6, 0x0800 IPv4
  int ifindex = 0;
  std::uint16_t size = 0;  // bytes kept
  std::array<std::uint8_t, kMaxData> data{};
};

class LinkListener {
 public:
  virtual ~LinkListener() = default;
  // Waits until a packet is queued or the monotonic clock reaches
  // `deadline_ns` (a signal also ends the wait), then reads what is queued,
  // up to out.size() packets. Returns how many (0 on time-out), or why the
  // socket failed.
  virtual Result<std::size_t> Receive(std::span<HeardFrame> out, std::int64_t deadline_ns) = 0;
};

// A listener on interface `ifindex`, or why not (EPERM: CAP_NET_RAW missing).
Result<std::unique_ptr<LinkListener>> OpenLinkListener(int ifindex);

}  // namespace ps::platform
