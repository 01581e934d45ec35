#include "lan/arp_prober.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <optional>

#include "lan/arp_fakes.h"
#include "lan/arp_packet.h"

namespace ps::sweep {
namespace {

constexpr std::int64_t kMs = 1'000'000;
const MacAddress kOurMac = *MacAddress::Parse("02:00:00:00:00:01");
constexpr std::uint32_t kOurIp = 0x0A000001;  // 10.0.0.1

MacAddress HostMac(std::uint32_t ip) { return FakeArpSegment::HostMac(ip); }
std::uint32_t Ip(unsigned last) { return 0x0A000000 | last; }
ArpPacket Reply(std::uint32_t from, MacAddress mac) { return {kArpReply, mac, from, kOurMac, kOurIp}; }

class ArpProberTest : public ::testing::Test {
 protected:
  ArpAnswers Run(std::vector<std::uint32_t> targets, ArpProbeOptions options = {},
                             const std::atomic<bool>* stop = nullptr) {
    ArpProber prober(&segment_, &segment_, {kOurMac, kOurIp}, options);
    auto answers = prober.Run(targets, nullptr, stop);
    summary_ = prober.summary();
    return answers;
  }
  int RequestsTo(std::uint32_t ip) const { return segment_.RequestsTo(ip); }
  FakeArpSegment segment_;
  ArpSummary summary_;
};

TEST_F(ArpProberTest, FindsAnsweringHostsAndRetriesSilentOnes) {
  segment_.hosts[Ip(2)] = {.delay_ns = 3 * kMs};
  segment_.hosts[Ip(5)] = {.delay_ns = 499 * kMs};  // just in time
  // Late for its first request but in time for the retry: ARP replies carry
  // nothing that tells the two apart, so it counts.
  segment_.hosts[Ip(6)] = {.delay_ns = 700 * kMs};
  segment_.hosts[Ip(7)] = {.delay_ns = 2 * kMs, .ignore_first = 1};  // drops the first request
  segment_.hosts[Ip(8)] = {.delay_ns = 2 * kMs, .ignore_first = 2};  // drops both it gets
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
  EXPECT_EQ(segment_.requests.front().second.target_ip, Ip(8));  // the caller's order
  for (const auto& [at, request] : segment_.requests) {
    EXPECT_EQ(request.operation, kArpRequest);
    EXPECT_EQ(request.sender_mac, kOurMac);
    EXPECT_EQ(request.sender_ip, kOurIp);
    EXPECT_TRUE(request.target_mac.IsZero());
  }
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
      {"before it was asked", t0 + 50 * kMs, Reply(Ip(10), forger)},
      {"after its deadline", t0 + 585 * kMs, Reply(Ip(9), forger)},
      {"from an address not asked", t0 + 100 * kMs, Reply(Ip(200), forger)},
      {"from just below the targets", t0 + 100 * kMs, Reply(Ip(0), forger)},
      {"gratuitous", t0 + 100 * kMs, {kArpReply, forger, Ip(10), kBroadcastMac, Ip(10)}},
      {"to another address", t0 + 100 * kMs, {kArpReply, forger, Ip(10), kOurMac, Ip(99)}},
      {"to another MAC", t0 + 100 * kMs, {kArpReply, forger, Ip(10), forger, kOurIp}},
      {"from a group MAC", t0 + 100 * kMs, Reply(Ip(10), kBroadcastMac)},
      {"from a zero MAC", t0 + 100 * kMs, Reply(Ip(10), MacAddress{})},
      {"a request, not a reply", t0 + 100 * kMs, {kArpRequest, forger, Ip(10), kOurMac, kOurIp}},
  };
  for (const Case& c : cases) segment_.Deliver(c.at, c.packet);
  std::vector<std::uint32_t> targets;
  for (unsigned i = 1; i <= 10; ++i) targets.push_back(Ip(i));
  const auto answers = Run(targets, options);
  for (const auto& a : answers) ADD_FAILURE() << "listed " << (a.address & 0xff);
  EXPECT_EQ(summary_.ignored, 9u);  // every reply; the request never reaches matching
  EXPECT_EQ(summary_.sent, 10u);
}

TEST_F(ArpProberTest, DuplicatesAreCountedNotListed) {
  segment_.hosts[Ip(2)] = {.delay_ns = 1 * kMs, .copies = 3};
  segment_.Deliver(segment_.NowNs() + 50 * kMs,
                   Reply(Ip(2), *MacAddress::Parse("00:66:66:66:66:66")));
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
  EXPECT_EQ(summary_.socket_status.system_error(), 0);

  segment_.fail_send_with = ENETDOWN;
  EXPECT_TRUE(Run(targets).empty());
  EXPECT_EQ(summary_.socket_status.system_error(), ENETDOWN);
  segment_.fail_send_with = 0;
  segment_.fail_receive_with = EBADF;
  Run(targets);
  EXPECT_EQ(summary_.socket_status.system_error(), EBADF);

  segment_.fail_receive_with = 0;
  std::atomic<bool> stop{true};
  EXPECT_TRUE(Run(targets, options, &stop).empty());
  EXPECT_TRUE(summary_.interrupted);
}

}  // namespace
}  // namespace ps::sweep
