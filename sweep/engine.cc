#include "sweep/engine.h"

#include <algorithm>

namespace ps::sweep {

Sweep::Sweep(platform::MonotonicClock* clock, platform::IcmpSocket* socket,
             platform::NeighbourTable* neighbours, std::span<const IpAddress> targets,
             const std::vector<platform::ConnectedSubnet>& on_link, SweepOptions options)
    : socket_(socket),
      core_(clock, neighbours, targets, on_link, options),
      batch_data_(kSweepBatch * ProbeCookie::kDataSize),
      messages_(kFirstMessages) {
  requests_.reserve(kSweepBatch);
}

ProbeTransport::SendResult Sweep::Send(std::span<const std::uint32_t> hosts, std::int64_t send_ns,
                                       std::span<std::int64_t> went_ns) {
  requests_.clear();
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    const std::uint16_t sequence = core_.host(hosts[i]).sequence;
    const IpAddress& address = core_.result(hosts[i]).address;
    std::uint8_t* d = batch_data_.data() + i * ProbeCookie::kDataSize;
    cookie_.Fill(address, sequence, send_ns, d);
    platform::EchoRequest& r = requests_.emplace_back(platform::EchoRequest{
        address, sequence, d, static_cast<std::uint16_t>(ProbeCookie::kDataSize)});
    r.answer_wait_ns = core_.options().timeout_ns;
  }
  // One request a host: the socket's hand-over stamps are the hosts'.
  const platform::IcmpSocket::SendResult sent = socket_->Send(requests_, went_ns);
  return SendResult{sent.sent, sent.error};
}

int Sweep::Receive(std::int64_t wake_ns) {
  int n = socket_->Receive(messages_, wake_ns);
  if (n < 0) return n;
  Handle(n);
  // A full read of the first few messages: take the whole batch from now on,
  // and read the rest of what is queued at once, so that the core sees a
  // short count only when the queue was drained.
  if (static_cast<std::size_t>(n) == messages_.size() && messages_.size() < kSweepBatch) {
    messages_.resize(kSweepBatch);
    const int more = socket_->Receive(messages_, 0);
    if (more < 0) return more;
    Handle(more);
    n += more;
  }
  return n;
}

void Sweep::Handle(int n) {
  for (int i = 0; i < n; ++i) {
    const platform::IcmpMessage& m = messages_[static_cast<std::size_t>(i)];
    if (m.kind == platform::IcmpMessage::Kind::kEchoReply) {
      HandleReply(m);
    } else {
      HandleError(m);
    }
  }
}

const char* Sweep::failure() const {
  const auto& results = core_.results();
  return results.empty() || results.front().address.is_v4() ? "the ICMP socket failed"
                                                            : "the ICMPv6 socket failed";
}

void Sweep::HandleReply(const platform::IcmpMessage& m) {
  const std::int64_t found = m.from == m.about ? core_.Find(m.from) : -1;
  if (found < 0) {
    core_.Ignore();
    return;
  }
  const auto index = static_cast<std::uint32_t>(found);
  const auto send_ns = cookie_.Verify(m.from, m.sequence, m.data.data(), m.data_size);
  const SweepCore::Host& h = core_.host(index);
  const bool current = send_ns && *send_ns == h.sent_ns && m.sequence == h.sequence;
  const bool previous = send_ns && *send_ns == h.previous_sent_ns && m.sequence == h.previous_sequence;
  if (current && core_.InTime(index, m.received_ns)) {
    core_.Answer(index, m.received_ns, m.ttl, Via::kIcmp);
  } else if (previous || (current && h.state == SweepCore::State::kAnswered)) {
    core_.Duplicate(index);
  } else {
    core_.Ignore();  // forged, or too late
  }
}

void Sweep::HandleError(const platform::IcmpMessage& m) {
  const std::int64_t found = core_.Find(m.about);
  if (found < 0) {
    core_.Ignore();
    return;
  }
  const auto index = static_cast<std::uint32_t>(found);
  const SweepCore::Host& h = core_.host(index);
  bool ours = m.sequence == h.sequence;
  // Most errors quote the whole request; check its cookie when they do.
  if (m.data_size >= ProbeCookie::kDataSize) {
    const auto send_ns = cookie_.Verify(m.about, m.sequence, m.data.data(), m.data_size);
    ours = ours && send_ns && *send_ns == h.sent_ns;
  }
  if (!ours || !core_.InTime(index, m.received_ns)) {
    core_.Ignore();
    return;
  }
  HostResult& r = core_.result(index);
  r.error_type = m.type;
  r.error_code = m.code;
  r.error_from = m.from;
  core_.Fail(index);
}

}  // namespace ps::sweep
