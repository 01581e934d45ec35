// Test doubles for ARP discovery: a segment of scripted hosts behind a fake
// ARP socket, on a fake clock that moves only while the prober waits in
// Receive, and a packet network that opens sockets onto it.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "platform/clock/monotonic_clock.h"
#include "platform/link/packet_io.h"
#include "lan/arp_packet.h"

namespace ps::sweep {

class FakeArpSegment : public platform::PacketSocket, public platform::MonotonicClock {
 public:
  struct Host {
    std::int64_t delay_ns = 1'000'000;
    int ignore_first = 0;  // requests it does not answer before answering
    int copies = 1;        // replies per request answered
    MacAddress mac{};      // zero: HostMac(address)
  };
  // 00:00:0c and the address's low 24 bits.
  static MacAddress HostMac(std::uint32_t address);

  // The clock is `*now` (for sharing another fake clock's time), else its own.
  explicit FakeArpSegment(std::int64_t* now = nullptr) : now_(now != nullptr ? now : &own_now_) {}

  std::map<std::uint32_t, Host> hosts;
  std::vector<std::pair<std::int64_t, ArpPacket>> requests;  // (time, request)
  int accept_per_call = 1 << 30;  // then ENOBUFS
  int fail_send_with = 0;
  int fail_receive_with = 0;

  // Queues a packet to arrive at `at`.
  void Deliver(std::int64_t at, const ArpPacket& packet);
  int RequestsTo(std::uint32_t address) const;

  std::int64_t NowNs() override { return *now_; }
  SendResult Send(std::span<const platform::OutgoingFrame> frames) override;
  Result<std::size_t> Receive(std::span<platform::IncomingFrame> out,
                              std::int64_t deadline_ns) override;

 private:
  std::int64_t own_now_ = 1'000'000'000;
  std::int64_t* now_;
  std::multimap<std::int64_t, platform::IncomingFrame> queue_;
};

// Links as configured; every ARP socket opened is a view of one segment.
class FakePacketNetwork : public platform::PacketNetwork {
 public:
  explicit FakePacketNetwork(FakeArpSegment* segment) : segment_(segment) {}

  std::vector<platform::Link> links;
  int open_error = 0;       // errno OpenArp fails with; 0 = it opens
  std::vector<int> opened;  // ifindex of every socket opened

  std::vector<platform::Link> Links() override { return links; }
  Result<std::unique_ptr<platform::PacketSocket>> OpenArp(int ifindex) override;

 private:
  FakeArpSegment* segment_;
};

}  // namespace ps::sweep
