#include "sweep/arp_prober.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <optional>

#include "sweep/arp_packet.h"

namespace ps::sweep {
namespace {

constexpr std::int64_t kMs = 1'000'000;
const MacAddress kOurMac = *MacAddress::Parse("02:00:00:00:00:01");
constexpr std::uint32_t kOurIp = 0x0A000001;  // 10.0.0.1

MacAddress HostMac(std::uint32_t ip) { return MacAddress::FromUint64(0x00000c000000ull | (ip & 0xffffff)); }
std::uint32_t Ip(unsigned last) { return 0x0A000000 | last; }

// A segment of scripted hosts behind a fake ARP socket, on a fake clock that
// moves only while the prober waits in Receive.
class FakeSegment : public platform::PacketSocket, public platform::MonotonicClock {
 public:
  struct Host {
    std::int64_t delay_ns = 1 * kMs;
    int ignore_first = 0;  // requests it does not answer before answering
    int copies = 1;        // replies per request answered
  };

  std::map<std::uint32_t, Host> hosts;
  std::vector<std::pair<std::int64_t, std::uint32_t>> requests;  // (time, target ip)
  int accept_per_call = 1 << 30;  // then ENOBUFS
  int fail_send_with = 0;
  int fail_receive_with = 0;

  std::int64_t NowNs() override { return now_; }

  void Deliver(std::int64_t at, const ArpPacket& packet, bool to_us = true) {
    platform::IncomingFrame frame;
    frame.source = packet.sender_mac;
    frame.to_us = to_us;
    frame.received_ns = at;
    const auto bytes = BuildArp(packet);
    frame.size = static_cast<std::uint16_t>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), frame.data.begin());
    queue_.emplace(at, frame);
  }
  static ArpPacket Reply(std::uint32_t from, MacAddress mac) {
    return {kArpReply, mac, from, kOurMac, kOurIp};
  }

  SendResult Send(std::span<const platform::OutgoingFrame> frames) override {
    SendResult result;
    if (fail_send_with != 0) return {0, fail_send_with};
    for (const auto& frame : frames) {
      if (result.sent == accept_per_call) return {result.sent, ENOBUFS};
      const auto packet = ParseArp(std::span(frame.data, frame.size));
      EXPECT_TRUE(packet && packet->operation == kArpRequest && frame.destination == kBroadcastMac);
      EXPECT_EQ(packet->sender_mac, kOurMac);
      EXPECT_EQ(packet->sender_ip, kOurIp);
      requests.emplace_back(now_, packet->target_ip);
      ++result.sent;
      auto it = hosts.find(packet->target_ip);
      if (it == hosts.end()) continue;
      if (it->second.ignore_first > 0) {
        --it->second.ignore_first;
        continue;
      }
      for (int i = 0; i < it->second.copies; ++i) {
        Deliver(now_ + it->second.delay_ns + i, Reply(packet->target_ip, HostMac(packet->target_ip)));
      }
    }
    return result;
  }

  int Receive(std::span<platform::IncomingFrame> out, std::int64_t deadline_ns) override {
    if (fail_receive_with != 0) return -fail_receive_with;
    if (queue_.empty() || queue_.begin()->first > std::max(now_, deadline_ns)) {
      now_ = std::max(now_, deadline_ns);
      return 0;
    }
    now_ = std::max(now_, queue_.begin()->first);
    int n = 0;
    while (!queue_.empty() && queue_.begin()->first <= now_ && static_cast<std::size_t>(n) < out.size()) {
      out[static_cast<std::size_t>(n++)] = queue_.begin()->second;
      queue_.erase(queue_.begin());
    }
    return n;
  }

 private:
  std::int64_t now_ = 1000 * kMs;
  std::multimap<std::int64_t, platform::IncomingFrame> queue_;
};

class ArpProberTest : public ::testing::Test {
 protected:
  std::vector<ArpAnswer> Run(std::vector<std::uint32_t> targets, ArpProbeOptions options = {},
                             const std::atomic<bool>* stop = nullptr) {
    ArpProber prober(&segment_, &segment_, {kOurMac, kOurIp}, options);
    auto answers = prober.Run(targets, nullptr, stop);
    summary_ = prober.summary();
    return answers;
  }
  int RequestsTo(std::uint32_t ip) const {
    int n = 0;
    for (const auto& r : segment_.requests) n += r.second == ip;
    return n;
  }
  FakeSegment segment_;
  ArpSummary summary_;
};

TEST_F(ArpProberTest, FindsAnsweringHostsAndRetriesSilentOnes) {
  segment_.hosts[Ip(2)] = {3 * kMs};
  segment_.hosts[Ip(5)] = {499 * kMs};        // just in time
  // Late for its first request but in time for the retry: ARP replies carry
  // nothing that tells the two apart, so it counts.
  segment_.hosts[Ip(6)] = {700 * kMs};
  segment_.hosts[Ip(7)] = {2 * kMs, 1};       // drops the first request
  segment_.hosts[Ip(8)] = {2 * kMs, 2};       // drops both it gets
  const auto answers = Run({Ip(8), Ip(7), Ip(6), Ip(5), Ip(4), Ip(3), Ip(2), Ip(2)});
  ASSERT_EQ(answers.size(), 4u);
  EXPECT_EQ(answers[0].address, Ip(2));
  EXPECT_EQ(answers[0].mac, HostMac(Ip(2)));
  EXPECT_EQ(answers[0].rtt_ns, 3 * kMs);
  EXPECT_EQ(answers[0].sent, 1);
  EXPECT_EQ(answers[1].address, Ip(5));
  EXPECT_EQ(answers[1].rtt_ns, 499 * kMs);
  EXPECT_EQ(answers[2].address, Ip(6));
  EXPECT_EQ(answers[2].sent, 2);
  EXPECT_EQ(answers[3].address, Ip(7));
  EXPECT_EQ(answers[3].sent, 2);
  // Answered hosts are asked once; the others twice (one retry); repeats once.
  for (auto [ip, n] : std::map<std::uint32_t, int>{
           {Ip(2), 1}, {Ip(3), 2}, {Ip(4), 2}, {Ip(5), 1}, {Ip(6), 2}, {Ip(7), 2}, {Ip(8), 2}}) {
    EXPECT_EQ(RequestsTo(ip), n) << (ip & 0xff);
  }
  EXPECT_EQ(summary_.targets, 7u);
  EXPECT_EQ(summary_.answered, 4u);
  EXPECT_EQ(summary_.sent, 12u);
  EXPECT_EQ(summary_.ignored, 0u);
  EXPECT_EQ(segment_.requests.front().second, Ip(8));  // the caller's order
}

TEST_F(ArpProberTest, OnlyRepliesToItsOwnRequestsCount) {
  const MacAddress forger = *MacAddress::Parse("00:66:66:66:66:66");
  const std::int64_t t0 = segment_.NowNs();
  // At 1 request per 10 ms, .10 is asked at t0 + 90 ms and given up at t0 + 590 ms;
  // .9 is asked at t0 + 80 ms.
  ArpProbeOptions options;
  options.rate = 100;
  options.retries = 0;
  struct Case {
    const char* what;
    std::int64_t at;
    ArpPacket packet;
  } cases[] = {
      {"before it was asked", t0 + 50 * kMs, FakeSegment::Reply(Ip(10), forger)},
      {"after its deadline", t0 + 585 * kMs, FakeSegment::Reply(Ip(9), forger)},
      {"from an address not asked", t0 + 100 * kMs, FakeSegment::Reply(Ip(200), forger)},
      {"gratuitous", t0 + 100 * kMs, {kArpReply, forger, Ip(10), kBroadcastMac, Ip(10)}},
      {"to another address", t0 + 100 * kMs, {kArpReply, forger, Ip(10), kOurMac, Ip(99)}},
      {"to another MAC", t0 + 100 * kMs, {kArpReply, forger, Ip(10), forger, kOurIp}},
      {"from a group MAC", t0 + 100 * kMs, FakeSegment::Reply(Ip(10), kBroadcastMac)},
      {"from a zero MAC", t0 + 100 * kMs, FakeSegment::Reply(Ip(10), MacAddress{})},
      {"a request, not a reply", t0 + 100 * kMs, {kArpRequest, forger, Ip(10), kOurMac, kOurIp}},
  };
  for (const Case& c : cases) segment_.Deliver(c.at, c.packet);
  std::vector<std::uint32_t> targets;
  for (unsigned i = 1; i <= 10; ++i) targets.push_back(Ip(i));
  const auto answers = Run(targets, options);
  for (const auto& a : answers) ADD_FAILURE() << "listed " << (a.address & 0xff);
  EXPECT_EQ(summary_.ignored, 8u);  // every reply; the request never reaches matching
  EXPECT_EQ(summary_.sent, 10u);
}

TEST_F(ArpProberTest, DuplicatesAreCountedNotListed) {
  segment_.hosts[Ip(2)] = {1 * kMs, 0, 3};
  segment_.Deliver(segment_.NowNs() + 50 * kMs,
                   FakeSegment::Reply(Ip(2), *MacAddress::Parse("00:66:66:66:66:66")));
  const auto answers = Run({Ip(2), Ip(3)});  // the silent .3 keeps the sweep listening
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].mac, HostMac(Ip(2)));
  EXPECT_EQ(answers[0].duplicates, 3);
  EXPECT_TRUE(answers[0].other_mac);
  EXPECT_EQ(summary_.duplicates, 3u);
}

TEST_F(ArpProberTest, PacesRequestsAtTheRate) {
  std::vector<std::uint32_t> targets;
  for (unsigned i = 1; i <= 200; ++i) targets.push_back(Ip(i));
  struct Case {
    double rate;
    std::int64_t first_to_last_min_ns, first_to_last_max_ns;
  } cases[] = {
      {1000, 195 * kMs, 196 * kMs},   // 200 at 1,000/s less a burst of 5
      {20000, 5 * kMs, 5 * kMs + 50'000},  // 200 at 20,000/s less a burst of 100
      {0, 0, 0},                      // as fast as the socket takes them
  };
  for (const Case& c : cases) {
    segment_.requests.clear();
    ArpProbeOptions options;
    options.rate = c.rate;
    options.retries = 0;
    Run(targets, options);
    ASSERT_EQ(segment_.requests.size(), 200u) << c.rate;
    const std::int64_t span = segment_.requests.back().first - segment_.requests.front().first;
    EXPECT_GE(span, c.first_to_last_min_ns) << c.rate;
    EXPECT_LE(span, c.first_to_last_max_ns) << c.rate;
  }
}

TEST_F(ArpProberTest, FullDeviceQueueDelaysAndSocketFailuresStop) {
  std::vector<std::uint32_t> targets;
  for (unsigned i = 2; i <= 101; ++i) {
    segment_.hosts[Ip(i)] = {};
    targets.push_back(Ip(i));
  }
  segment_.accept_per_call = 7;
  ArpProbeOptions options;
  options.rate = 0;
  EXPECT_EQ(Run(targets, options).size(), 100u);
  EXPECT_EQ(summary_.sent, 100u);
  EXPECT_EQ(summary_.system_error, 0);

  segment_.fail_send_with = ENETDOWN;
  EXPECT_TRUE(Run(targets).empty());
  EXPECT_EQ(summary_.system_error, ENETDOWN);
  segment_.fail_send_with = 0;
  segment_.fail_receive_with = EBADF;
  Run(targets);
  EXPECT_EQ(summary_.system_error, EBADF);

  segment_.fail_receive_with = 0;
  std::atomic<bool> stop{true};
  EXPECT_TRUE(Run(targets, options, &stop).empty());
  EXPECT_TRUE(summary_.interrupted);
}

}  // namespace
}  // namespace ps::sweep
