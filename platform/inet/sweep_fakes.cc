#include "platform/inet/sweep_fakes.h"


#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ps::platform {

Result<std::unique_ptr<IcmpSocket>> FakeIcmpOpener::Open(IpAddress::Family family,
                                                         IcmpSocket::Kind kind) {
  if (family == IpAddress::Family::kV6 && !v6_available)
    return Status::Failure(SystemErrorText(EAFNOSUPPORT), EAFNOSUPPORT);
  const bool allowed = kind == IcmpSocket::Kind::kDatagram ? datagram_allowed : raw_allowed;
  if (!allowed) {
    const int error = kind == IcmpSocket::Kind::kDatagram ? EACCES : EPERM;
    return Status::Failure(SystemErrorText(error), error);
  }
  auto socket = std::make_unique<FakeIcmpSocket>(clock, kind);
  for (const auto& [address, host] : hosts) socket->SetHost(address, host);
  last_opened = socket.get();
  ++opened;
  return std::unique_ptr<IcmpSocket>(std::move(socket));
}

IcmpSocket::SendResult FakeIcmpSocket::Send(std::span<const EchoRequest> requests,
                                             std::span<std::int64_t> handed_ns) {
  SendResult result;
  for (const EchoRequest& r : requests) {
    const auto it = hosts_.find(r.destination);
    if (it != hosts_.end() && it->second.send_error != 0) {
      result.error = it->second.send_error;
      return result;
    }
    ++result.sent;
    sent_.push_back(Sent{r.destination, r.sequence, clock_->now_ns,
                         std::vector<std::uint8_t>(r.data, r.data + r.size), r.ttl, r.tos});
    const std::int64_t went = clock_->now_ns;
    if (!handed_ns.empty()) handed_ns[static_cast<std::size_t>(result.sent - 1)] = went;
    clock_->now_ns += send_cost_ns_;
    if (neighbours_ != nullptr && !neighbours_->Admit(r.destination)) continue;
    if (it == hosts_.end() || !it->second.answers) continue;
    const Host& h = it->second;
    if (requests_seen_[r.destination]++ < h.ignore_first) continue;
    IcmpMessage m;
    m.kind = h.error_type ? IcmpMessage::Kind::kError : IcmpMessage::Kind::kEchoReply;
    m.type = h.error_type.value_or(0);
    m.code = h.error_code;
    m.ttl = h.ttl;
    m.tos = h.tos;
    m.dont_fragment = h.dont_fragment;
    m.from = m.about = r.destination;
    m.sequence = r.sequence;
    m.received_ns = went + h.delay_ns;
    m.data_size = static_cast<std::uint16_t>(std::min<std::size_t>(r.size, IcmpMessage::kMaxData));
    std::memcpy(m.data.data(), r.data, m.data_size);
    for (int copy = 0; copy <= h.duplicates; ++copy) queue_.emplace(m.received_ns, m);
  }
  return result;
}

int FakeIcmpSocket::Receive(std::span<IcmpMessage> out, std::int64_t deadline_ns) {
  if (queue_.empty() || queue_.begin()->first > std::max(deadline_ns, clock_->now_ns)) {
    clock_->now_ns = std::max(clock_->now_ns, deadline_ns);
    return 0;
  }
  clock_->now_ns = std::max(clock_->now_ns, queue_.begin()->first);
  int n = 0;
  while (!queue_.empty() && queue_.begin()->first <= clock_->now_ns &&
         static_cast<std::size_t>(n) < out.size()) {
    out[static_cast<std::size_t>(n++)] = queue_.begin()->second;
    queue_.erase(queue_.begin());
  }
  return n;
}

int FakeNeighbourTable::Held() {
  int held = 0;
  for (const auto& [address, at] : created_) held += clock_->now_ns - at < pinned_ns_ ? 1 : 0;
  return held;
}

bool FakeNeighbourTable::Admit(const IpAddress& address) {
  const auto it = created_.find(address);
  if (it != created_.end()) return true;
  const int held = Held() + other_entries;
  if (held >= limit_) {
    ++dropped_;
    return false;
  }
  created_[address] = clock_->now_ns;
  most_held_ = std::max(most_held_, held + 1);
  return true;
}

Result<std::vector<Neighbour>> FakeNeighbourTable::Dump(IpAddress::Family) {
  std::vector<Neighbour> out;
  for (const auto& [address, at] : created_) {
    Neighbour n;
    n.address = address;
    const std::int64_t age = clock_->now_ns - at;
    n.state = age < pinned_ns_ ? kNeighbourReachable : kNeighbourStale;
    // A stale entry counts as changed when it turned stale.
    n.updated_ms = static_cast<std::uint32_t>((age < pinned_ns_ ? age : age - pinned_ns_) / 1000000);
    if (age >= pinned_ns_) n.updated_ms += 5000;
    out.push_back(n);
  }
  return out;
}

std::optional<NeighbourUsage> FakeNeighbourTable::Usage(IpAddress::Family) {
  return NeighbourUsage{static_cast<int>(created_.size()) + other_entries, limit_};
}

Result<std::vector<IpAddress>> FakeResolver::Resolve(const std::string& name) {
  const auto it = forward.find(name);
  if (it != forward.end()) return it->second;
  return Status::Failure("Name or service not known");
}

std::string FakeResolver::ReverseName(const IpAddress& address, int scope_id) {
  if (const auto in_scope = scoped.find({address, scope_id}); in_scope != scoped.end())
    return in_scope->second;
  const auto it = reverse.find(address);
  return it == reverse.end() ? "" : it->second;
}

std::optional<IpAddress> FakeTcpSocket::Source(const IpAddress& destination) {
  if (unroutable_.count(destination) > 0) return std::nullopt;
  return local_;
}

std::size_t FakeTcpSocket::Room() const {
  if (kind_ == Kind::kRaw) return room_;
  return in_flight_.size() < room_ ? room_ - in_flight_.size() : 0;
}

std::optional<TcpAnswer> FakeTcpSocket::AnswerTo(const TcpProbe& p, const Host& h) const {
  if (!h.answers) return std::nullopt;
  TcpAnswer a;
  a.from = p.destination;
  a.from_port = p.port;
  a.tag = p.tag;
  a.ttl = h.ttl;
  if (kind_ == Kind::kConnect) {
    if (h.connect_error != 0) a.error = h.connect_error;
    else if (h.drops_syn) return std::nullopt;
    else if (h.open.count(p.port) > 0) a.flags = kTcpSyn | kTcpAck;
    else if (h.resets_closed) a.flags = kTcpRst;
    else return std::nullopt;
    return a;
  }
  a.to = p.source;
  a.to_port = kSourcePort;
  if (p.flags == kTcpAck) {
    a.flags = kTcpRst;  // no connection: a reset numbered by the ACK
    a.sequence = p.acknowledgement;
  } else if (h.drops_syn) {
    return std::nullopt;
  } else if (h.open.count(p.port) == 0 && !h.resets_closed) {
    return std::nullopt;
  } else {
    a.flags = h.open.count(p.port) > 0 ? kTcpSyn | kTcpAck : kTcpRst | kTcpAck;
    a.sequence = 0x12345678;
    a.acknowledgement = p.sequence + 1;
  }
  return a;
}

TcpProbeSocket::SendResult FakeTcpSocket::Send(std::span<const TcpProbe> probes) {
  SendResult result;
  for (const TcpProbe& p : probes) {
    if (Room() == 0) {
      result.error = EAGAIN;
      return result;
    }
    ++result.sent;
    sent_.push_back(Sent{p, clock_->now_ns});
    if (log_ != nullptr) log_->push_back(p.destination);
    if (kind_ == Kind::kConnect) {
      in_flight_[{p.tag, p.port}] = p.deadline_ns;
      most_in_flight_ = std::max(most_in_flight_, in_flight_.size());
    }
    const auto it = hosts_.find(p.destination);
    if (it == hosts_.end()) continue;
    const Host& h = it->second;
    // A round is the probes of one sequence number (the tag's low bits).
    std::set<std::uint16_t>& rounds = rounds_seen_[p.destination];
    rounds.insert(static_cast<std::uint16_t>(p.tag));
    if (static_cast<int>(rounds.size()) <= h.ignore_first) continue;
    std::optional<TcpAnswer> a = AnswerTo(p, h);
    if (!a) continue;
    a->received_ns = clock_->now_ns + h.delay_ns;
    for (int copy = 0; copy <= h.duplicates; ++copy) queue_.emplace(a->received_ns, *a);
  }
  return result;
}

int FakeTcpSocket::Receive(std::span<TcpAnswer> out, std::int64_t deadline_ns) {
  if (queue_.empty() || queue_.begin()->first > std::max(deadline_ns, clock_->now_ns)) {
    clock_->now_ns = std::max(clock_->now_ns, deadline_ns);
  } else {
    clock_->now_ns = std::max(clock_->now_ns, queue_.begin()->first);
  }
  int n = 0;
  while (!queue_.empty() && queue_.begin()->first <= clock_->now_ns &&
         static_cast<std::size_t>(n) < out.size()) {
    const TcpAnswer& a = queue_.begin()->second;
    const auto attempt = in_flight_.find({a.tag, a.from_port});
    if (kind_ == Kind::kRaw || (attempt != in_flight_.end() && attempt->second > a.received_ns)) {
      out[static_cast<std::size_t>(n++)] = a;
    }
    if (attempt != in_flight_.end()) in_flight_.erase(attempt);
    queue_.erase(queue_.begin());
  }
  std::erase_if(in_flight_, [this](const auto& e) { return e.second <= clock_->now_ns; });
  return n;
}

Result<std::unique_ptr<TcpProbeSocket>> FakeTcpOpener::Open(IpAddress::Family family,
                                                            TcpProbeSocket::Kind kind) {
  if (kind == TcpProbeSocket::Kind::kRaw && !raw_allowed)
    return Status::Failure(raw_error == EPERM ? "cannot open a raw TCP socket" : raw_refusal,
                           raw_error);
  opened.push_back(kind);
  const IpAddress local = family == IpAddress::Family::kV4
                              ? IpAddress::V4(0x0A0000FE)
                              : *IpAddress::Parse("fd00::fe");
  auto socket = std::make_unique<FakeTcpSocket>(clock, kind, local);
  for (const auto& [address, host] : hosts) socket->SetHost(address, host);
  socket->set_log(&probed);
  return std::unique_ptr<TcpProbeSocket>(std::move(socket));
}

}  // namespace ps::platform
