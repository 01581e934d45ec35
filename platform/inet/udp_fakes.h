// An in-memory UDP network for tests of the name queries: every datagram a
// socket sends is recorded and handed to the test's responder, which answers
// (or forges) through Deliver(). Sockets may be used from several threads.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/inet/udp_io.h"

namespace ps::platform {

struct SentDatagram {
  IpAddress to;
  std::uint16_t port = 0;
  std::uint16_t from_port = 0;
  std::uint32_t interface_index = 0;
  std::vector<std::uint8_t> payload;
};

class FakeUdpNetwork : public UdpOpener {
 public:
  // Called (without a lock held) for every datagram sent.
  using Responder = std::function<void(const SentDatagram&)>;

  void set_responder(Responder r) { responder_ = std::move(r); }
  // Opening a socket on this port fails (as when another program holds it).
  void set_busy_port(std::uint16_t port) { busy_port_ = port; }
  void set_gateways(std::vector<IpAddress> g) { gateways_ = std::move(g); }

  // Queues `payload` on every open socket of the sender's family bound to
  // `to_port`.
  void Deliver(const UdpPeer& peer, std::uint16_t to_port, std::vector<std::uint8_t> payload);
  std::vector<SentDatagram> sent() const;
  // Groups joined so far, as (group, interface index).
  std::vector<std::pair<IpAddress, std::uint32_t>> joined() const;

  Result<std::unique_ptr<UdpSocket>> Open(const UdpOptions& options) override;
  std::vector<IpAddress> DefaultGateways() override { return gateways_; }

  struct Inbox;  // one socket's queue, shared with it

 private:
  friend class FakeUdpSocket;
  void Sent(SentDatagram d);
  void Joined(const IpAddress& group, std::uint32_t index);

  mutable std::mutex mu_;
  std::vector<SentDatagram> sent_;
  std::vector<std::pair<IpAddress, std::uint32_t>> joined_;
  std::vector<std::weak_ptr<Inbox>> inboxes_;
  std::uint16_t next_port_ = 40000;
  std::uint16_t busy_port_ = 0;
  std::vector<IpAddress> gateways_;
  Responder responder_;
};

}  // namespace ps::platform
