#include "platform/inet/udp_fakes.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "platform/clock/monotonic_clock.h"

namespace ps::platform {

struct FakeUdpNetwork::Inbox {
  IpAddress::Family family;
  std::uint16_t port;
  std::mutex mu;
  std::condition_variable ready;
  std::deque<std::pair<UdpPeer, std::vector<std::uint8_t>>> queue;
};

class FakeUdpSocket : public UdpSocket {
 public:
  FakeUdpSocket(FakeUdpNetwork* net, std::shared_ptr<FakeUdpNetwork::Inbox> inbox)
      : net_(net), inbox_(std::move(inbox)) {}

  std::uint16_t local_port() const override { return inbox_->port; }

  Status JoinGroup(const IpAddress& group, std::uint32_t interface_index) override {
    net_->Joined(group, interface_index);
    return Status::Ok();
  }

  Status SendTo(const IpAddress& to, std::uint16_t port, std::span<const std::uint8_t> payload,
                std::uint32_t interface_index) override {
    net_->Sent({to, port, inbox_->port, interface_index, {payload.begin(), payload.end()}});
    return Status::Ok();
  }

  int Receive(std::span<std::uint8_t> buffer, UdpPeer* peer, std::int64_t deadline_ns) override {
    std::unique_lock lock(inbox_->mu);
    const std::int64_t wait = deadline_ns - SystemMonotonicClock().NowNs();
    if (!inbox_->ready.wait_for(lock, std::chrono::nanoseconds(std::max<std::int64_t>(wait, 0)),
                                [&] { return !inbox_->queue.empty(); })) {
      return -ETIMEDOUT;
    }
    auto [from, payload] = std::move(inbox_->queue.front());
    inbox_->queue.pop_front();
    *peer = from;
    peer->received_ns = SystemMonotonicClock().NowNs();
    const std::size_t n = std::min(buffer.size(), payload.size());
    std::copy_n(payload.begin(), n, buffer.begin());
    return static_cast<int>(n);
  }

 private:
  FakeUdpNetwork* net_;
  std::shared_ptr<FakeUdpNetwork::Inbox> inbox_;
};

void FakeUdpNetwork::Deliver(const UdpPeer& peer, std::uint16_t to_port,
                             std::vector<std::uint8_t> payload) {
  std::vector<std::shared_ptr<Inbox>> targets;
  {
    std::lock_guard lock(mu_);
    for (const auto& weak : inboxes_) {
      auto inbox = weak.lock();
      if (inbox && inbox->port == to_port && inbox->family == peer.from.family())
        targets.push_back(inbox);
    }
  }
  for (const auto& inbox : targets) {
    std::lock_guard lock(inbox->mu);
    inbox->queue.emplace_back(peer, payload);
    inbox->ready.notify_all();
  }
}

std::vector<SentDatagram> FakeUdpNetwork::sent() const {
  std::lock_guard lock(mu_);
  return sent_;
}

std::vector<std::pair<IpAddress, std::uint32_t>> FakeUdpNetwork::joined() const {
  std::lock_guard lock(mu_);
  return joined_;
}

Result<std::unique_ptr<UdpSocket>> FakeUdpNetwork::Open(const UdpOptions& options) {
  std::lock_guard lock(mu_);
  if (options.port != 0 && options.port == busy_port_)
    return Status::Failure("binding port " + std::to_string(options.port), EADDRINUSE);
  auto inbox = std::make_shared<Inbox>();
  inbox->family = options.family;
  inbox->port = options.port != 0 ? options.port : next_port_++;
  inboxes_.push_back(inbox);
  return std::unique_ptr<UdpSocket>(std::make_unique<FakeUdpSocket>(this, inbox));
}

void FakeUdpNetwork::Sent(SentDatagram d) {
  {
    std::lock_guard lock(mu_);
    sent_.push_back(d);
  }
  if (responder_) responder_(d);
}

void FakeUdpNetwork::Joined(const IpAddress& group, std::uint32_t index) {
  std::lock_guard lock(mu_);
  joined_.emplace_back(group, index);
}

}  // namespace ps::platform
