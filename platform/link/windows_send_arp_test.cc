// The SendARP pool behind the packet socket seam, over a resolver of our
// own (Wine's SendARP is a stub): replies as the owner would send them,
// the bound on calls at once, requests that join a call under way.
#include "platform/link/windows_send_arp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace ps::platform {
namespace {

constexpr std::uint32_t kUs = 0x0A000001;  // 10.0.0.1
const MacAddress kOurMac = *MacAddress::Parse("02:00:00:00:00:01");

class SteadyClock : public MonotonicClock {
 public:
  std::int64_t NowNs() override {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch()).count();
  }
};

std::array<std::uint8_t, 28> Arp(std::uint16_t op, std::uint32_t target) {
  std::array<std::uint8_t, 28> p{0, 1, 8, 0, 6, 4, 0, static_cast<std::uint8_t>(op)};
  std::copy(kOurMac.octets.begin(), kOurMac.octets.end(), p.begin() + 8);
  for (int i = 0; i < 4; ++i) {
    p[14 + i] = static_cast<std::uint8_t>(kUs >> (24 - 8 * i));
    p[24 + i] = static_cast<std::uint8_t>(target >> (24 - 8 * i));
  }
  return p;
}

// Answers for `hosts`; each call waits while `hold` is set, and the most
// calls under way at once are counted.
struct FakeArp {
  std::map<std::uint32_t, MacAddress> hosts;
  std::atomic<bool> hold{false};
  std::atomic<int> now{0}, most{0}, calls{0};
  std::mutex mutex;
  std::vector<std::uint32_t> sources;

  bool operator()(std::uint32_t target, std::uint32_t source, MacAddress* mac) {
    const int at_once = ++now;
    for (int m = most; at_once > m && !most.compare_exchange_weak(m, at_once);) {}
    ++calls;
    {
      std::lock_guard lock(mutex);
      sources.push_back(source);
    }
    while (hold) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    --now;
    const auto h = hosts.find(target);
    if (h == hosts.end()) return false;
    *mac = h->second;
    return true;
  }
};

// Waits (up to 20 s: a busy machine starts threads late) until `done` holds.
template <typename Done>
bool WaitFor(Done done) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done() && std::chrono::steady_clock::now() < give_up)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return done();
}

std::vector<IncomingFrame> ReceiveAll(SendArpSocket& socket, SteadyClock& clock, std::size_t want) {
  std::vector<IncomingFrame> got;
  const std::int64_t give_up = clock.NowNs() + 20'000'000'000;
  std::vector<IncomingFrame> batch(8);
  while (got.size() < want && clock.NowNs() < give_up) {
    const auto n = socket.Receive(batch, clock.NowNs() + 100'000'000);
    EXPECT_TRUE(n.ok());
    got.insert(got.end(), batch.begin(), batch.begin() + static_cast<long>(n.value()));
  }
  return got;
}

TEST(SendArpSocketTest, ResolvedAddressesComeBackAsTheirOwnersReplies) {
  SteadyClock clock;
  FakeArp fake;
  fake.hosts[0x0A000005] = *MacAddress::Parse("00:11:22:33:44:55");
  fake.hosts[0x0A000009] = *MacAddress::Parse("00:11:22:33:44:99");
  SendArpSocket socket([&fake](auto t, auto s, auto* m) { return fake(t, s, m); }, &clock, 4);
  const std::array<std::uint8_t, 28> packets[] = {Arp(1, 0x0A000005), Arp(1, 0x0A000007),
                                                  Arp(2, 0x0A000008), Arp(1, 0x0A000009)};
  std::vector<OutgoingFrame> frames;
  for (const auto& p : packets) frames.push_back({MacAddress{}, p.data(), 28});
  frames.push_back({MacAddress{}, packets[0].data(), 20});  // too short: dropped
  const std::int64_t sent_at = clock.NowNs();
  const auto sent = socket.Send(frames);
  EXPECT_EQ(sent.sent, 5);
  EXPECT_EQ(sent.error, 0);
  std::vector<IncomingFrame> got = ReceiveAll(socket, clock, 2);
  ASSERT_EQ(got.size(), 2u);
  std::sort(got.begin(), got.end(), [](const auto& a, const auto& b) { return a.data[17] < b.data[17]; });
  for (std::size_t i = 0; i < got.size(); ++i) {
    const IncomingFrame& f = got[i];
    const std::uint32_t target = i == 0 ? 0x0A000005 : 0x0A000009;
    EXPECT_EQ(f.source, fake.hosts[target]);
    EXPECT_TRUE(f.to_us);
    EXPECT_GE(f.received_ns, sent_at);
    ASSERT_EQ(f.size, 28u);
    std::array<std::uint8_t, 28> want = Arp(2, kUs);  // the reply's fields, rewritten below
    std::copy(fake.hosts[target].octets.begin(), fake.hosts[target].octets.end(), want.begin() + 8);
    for (int b = 0; b < 4; ++b) want[14 + b] = static_cast<std::uint8_t>(target >> (24 - 8 * b));
    std::copy(kOurMac.octets.begin(), kOurMac.octets.end(), want.begin() + 18);
    EXPECT_TRUE(std::equal(want.begin(), want.end(), f.data.begin())) << i;
  }
  EXPECT_TRUE(WaitFor([&fake] { return fake.now == 0 && fake.calls == 3; }));
  EXPECT_EQ(fake.calls, 3);  // the reply and the short frame ask nothing
  for (std::uint32_t s : fake.sources) EXPECT_EQ(s, kUs);
  std::vector<IncomingFrame> none(4);
  const auto n = socket.Receive(none, clock.NowNs() + 50'000'000);
  ASSERT_TRUE(n.ok());
  EXPECT_EQ(n.value(), 0u);
}

TEST(SendArpSocketTest, AtMostTheWorkersCallAtOnceAndARepeatJoinsItsCall) {
  SteadyClock clock;
  FakeArp fake;
  fake.hold = true;
  std::thread release;
  for (std::uint32_t a = 1; a <= 6; ++a) fake.hosts[0x0A000010 + a] = *MacAddress::Parse("00:00:5e:00:53:01");
  {
    SendArpSocket socket([&fake](auto t, auto s, auto* m) { return fake(t, s, m); }, &clock, 2);
    const auto first = Arp(1, 0x0A000011), second = Arp(1, 0x0A000012), third = Arp(1, 0x0A000013);
    const OutgoingFrame frames[] = {{MacAddress{}, first.data(), 28},
                                    {MacAddress{}, first.data(), 28},  // joins the first
                                    {MacAddress{}, second.data(), 28},
                                    {MacAddress{}, third.data(), 28}};
    const auto sent = socket.Send(frames);
    EXPECT_EQ(sent.sent, 3);
    EXPECT_EQ(sent.error, EAGAIN);
    EXPECT_TRUE(WaitFor([&fake] { return fake.now == 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // room for a third, were there one
    EXPECT_EQ(fake.most, 2);
    fake.hold = false;
    EXPECT_EQ(ReceiveAll(socket, clock, 2).size(), 2u);
    const OutgoingFrame rest[] = {{MacAddress{}, third.data(), 28}};
    EXPECT_EQ(socket.Send(rest).sent, 1);
    EXPECT_EQ(ReceiveAll(socket, clock, 1).size(), 1u);
    EXPECT_EQ(fake.calls, 3);
    fake.hold = true;  // the destructor waits for a call under way
    const auto fourth = Arp(1, 0x0A000014);
    const OutgoingFrame last[] = {{MacAddress{}, fourth.data(), 28}};
    EXPECT_EQ(socket.Send(last).sent, 1);
    release = std::thread([&fake] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      fake.hold = false;
    });
  }
  release.join();
  EXPECT_EQ(fake.now, 0);
  EXPECT_LE(fake.most, 2);
}

}  // namespace
}  // namespace ps::platform
