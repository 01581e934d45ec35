#include "lan/link_local.h"

#include <algorithm>

namespace ps::sweep {

IpAddress AllNodes() {
  std::array<std::uint8_t, 16> b{0xFF, 0x02};
  b[15] = 1;
  return IpAddress::V6(b);
}

LinkLocalDiscovery::LinkLocalDiscovery(platform::MonotonicClock* clock, platform::IcmpSocket* socket,
                                       platform::NeighbourTable* neighbours,
                                       std::vector<platform::MulticastLink> links,
                                       std::int64_t timeout_ns)
    : clock_(clock),
      socket_(socket),
      neighbours_(neighbours),
      links_(std::move(links)),
      timeout_ns_(timeout_ns) {}

void LinkLocalDiscovery::Handle(const platform::IcmpMessage& m, std::int64_t sent_ns,
                                std::int64_t deadline_ns, const std::vector<bool>& sent,
                                LinkLocalSummary* summary) {
  // The sequence is the interface's place in links_.
  const std::size_t i = m.sequence;
  const bool valid = m.kind == platform::IcmpMessage::Kind::kEchoReply && i < links_.size() &&
                     sent[i] && m.received_ns < deadline_ns &&
                     (m.from_scope == 0 || m.from_scope == links_[i].index);
  const auto carried = valid ? cookie_.Verify(AllNodes(), m.sequence, m.data.data(), m.data_size)
                             : std::nullopt;
  if (!carried || *carried != sent_ns) {
    ++summary->ignored;
    return;
  }
  for (LinkLocalHost& h : hosts_) {
    if (h.result.address == m.from && h.link.index == links_[i].index) {
      ++h.result.duplicates;
      return;
    }
  }
  LinkLocalHost h;
  h.link = links_[i];
  HostResult& r = h.result;
  r.address = m.from;
  r.outcome = Outcome::kAnswered;
  r.ttl = m.ttl;
  r.sent = r.received = 1;
  r.rtt_min_ns = r.rtt_max_ns = r.rtt_sum_ns = std::max<std::int64_t>(m.received_ns - sent_ns, 0);
  hosts_.push_back(h);
  ++summary->answered;
}

std::vector<bool> LinkLocalDiscovery::SendToEveryLink(std::int64_t sent_ns,
                                                      LinkLocalSummary* summary) {
  const IpAddress group = AllNodes();
  std::vector<std::uint8_t> data(links_.size() * ProbeCookie::kDataSize);
  std::vector<bool> sent(links_.size(), false);
  // One request at a time: a failure on one interface must not stop the others.
  for (std::size_t i = 0; i < links_.size() && i <= 0xFFFF; ++i) {
    std::uint8_t* d = data.data() + i * ProbeCookie::kDataSize;
    const auto sequence = static_cast<std::uint16_t>(i);
    cookie_.Fill(group, sequence, sent_ns, d);
    const platform::EchoRequest request{group, sequence, d,
                                        static_cast<std::uint16_t>(ProbeCookie::kDataSize),
                                        links_[i].index};
    const platform::IcmpSocket::SendResult r = socket_->Send(std::span(&request, 1));
    if (r.sent == 1) {
      sent[i] = true;
    } else {
      summary->send_errors.emplace_back(
          links_[i], Status::Failure("the echo request to ff02::1 failed", r.error));
    }
  }
  return sent;
}

void LinkLocalDiscovery::AwaitReplies(std::int64_t sent_ns, const std::vector<bool>& sent,
                                      LinkLocalSummary* summary) {
  const std::int64_t deadline = sent_ns + timeout_ns_;
  std::vector<platform::IcmpMessage> messages(64);
  for (;;) {
    if (stop_.load(std::memory_order_relaxed)) {
      summary->interrupted = true;
      return;
    }
    if (clock_->NowNs() >= deadline) return;
    const int n = socket_->Receive(messages, deadline);
    if (n < 0) {
      summary->socket_status = Status::Failure("the ICMPv6 socket failed", -n);
      return;
    }
    for (int k = 0; k < n; ++k)
      Handle(messages[static_cast<std::size_t>(k)], sent_ns, deadline, sent, summary);
  }
}

void LinkLocalDiscovery::AddMacs() {
  if (neighbours_ == nullptr) return;
  const auto table = neighbours_->Dump(IpAddress::Family::kV6);
  if (!table.ok()) return;
  for (LinkLocalHost& h : hosts_) {
    for (const platform::Neighbour& n : table.value()) {
      if (n.has_mac && n.address == h.result.address && n.ifindex == h.link.index) {
        h.mac = n.mac;
        h.has_mac = true;
      }
    }
  }
}

LinkLocalSummary LinkLocalDiscovery::Run() {
  LinkLocalSummary summary;
  const std::int64_t start = clock_->NowNs();
  const std::int64_t sent_ns = clock_->NowNs();
  const std::vector<bool> sent = SendToEveryLink(sent_ns, &summary);
  if (std::find(sent.begin(), sent.end(), true) != sent.end())
    AwaitReplies(sent_ns, sent, &summary);
  AddMacs();
  std::sort(hosts_.begin(), hosts_.end(), [](const LinkLocalHost& a, const LinkLocalHost& b) {
    return a.link.index != b.link.index ? a.link.index < b.link.index
                                        : a.result.address < b.result.address;
  });
  summary.elapsed_ns = clock_->NowNs() - start;
  return summary;
}

}  // namespace ps::sweep
