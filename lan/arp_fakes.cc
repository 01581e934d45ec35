#include "lan/arp_fakes.h"

#include <algorithm>
#include <cerrno>

namespace ps::sweep {

MacAddress FakeArpSegment::HostMac(std::uint32_t address) {
  return MacAddress::FromUint64(0x00000c000000ull | (address & 0xffffff));
}

void FakeArpSegment::Deliver(std::int64_t at, const ArpPacket& packet) {
  platform::IncomingFrame frame;
  frame.source = packet.sender_mac;
  frame.to_us = true;
  frame.received_ns = at;
  const auto bytes = BuildArp(packet);
  frame.size = static_cast<std::uint16_t>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), frame.data.begin());
  queue_.emplace(at, frame);
}

int FakeArpSegment::RequestsTo(std::uint32_t address) const {
  return static_cast<int>(std::count_if(requests.begin(), requests.end(), [&](const auto& r) {
    return r.second.target_ip == address;
  }));
}

FakeArpSegment::SendResult FakeArpSegment::Send(std::span<const platform::OutgoingFrame> frames) {
  SendResult result;
  if (fail_send_with != 0) return {0, fail_send_with};
  for (const auto& frame : frames) {
    if (result.sent == accept_per_call) return {result.sent, ENOBUFS};
    const auto packet = ParseArp(std::span(frame.data, frame.size));
    if (!packet || frame.destination != kBroadcastMac) return {result.sent, EINVAL};
    requests.emplace_back(*now_, *packet);
    ++result.sent;
    auto it = hosts.find(packet->target_ip);
    if (it == hosts.end() || packet->operation != kArpRequest) continue;
    Host& host = it->second;
    if (host.ignore_first > 0) {
      --host.ignore_first;
      continue;
    }
    const MacAddress mac = host.mac.IsZero() ? HostMac(packet->target_ip) : host.mac;
    for (int i = 0; i < host.copies; ++i) {
      Deliver(*now_ + host.delay_ns + i,
              {kArpReply, mac, packet->target_ip, packet->sender_mac, packet->sender_ip});
    }
  }
  return result;
}

Result<std::size_t> FakeArpSegment::Receive(std::span<platform::IncomingFrame> out,
                                            std::int64_t deadline_ns) {
  if (fail_receive_with != 0) return Status::SystemError(fail_receive_with);
  std::int64_t& now = *now_;
  if (queue_.empty() || queue_.begin()->first > std::max(now, deadline_ns)) {
    now = std::max(now, deadline_ns);
    return std::size_t{0};
  }
  now = std::max(now, queue_.begin()->first);
  std::size_t n = 0;
  while (!queue_.empty() && queue_.begin()->first <= now && n < out.size()) {
    out[n++] = queue_.begin()->second;
    queue_.erase(queue_.begin());
  }
  return n;
}

Result<std::unique_ptr<platform::PacketSocket>> FakePacketNetwork::OpenArp(int ifindex) {
  if (open_error != 0) return platform::PacketSocketFailure(open_error);
  opened.push_back(ifindex);
  // A view: the segment outlives every socket opened onto it.
  struct View : platform::PacketSocket {
    explicit View(FakeArpSegment* s) : segment(s) {}
    SendResult Send(std::span<const platform::OutgoingFrame> f) override { return segment->Send(f); }
    Result<std::size_t> Receive(std::span<platform::IncomingFrame> out,
                                std::int64_t deadline) override {
      return segment->Receive(out, deadline);
    }
    FakeArpSegment* segment;
  };
  return std::unique_ptr<platform::PacketSocket>(std::make_unique<View>(segment_));
}

}  // namespace ps::sweep
