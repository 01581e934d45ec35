// The engine over a fake clock and a scripted network: pacing, retries,
// time-outs, counts, matching (cookie, source, deadline) and the neighbour
// window.
#include "sweep/engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/inet/sweep_fakes.h"

namespace ps::sweep {
namespace {

// "Destination unreachable: host unreachable" (RFC 792).
constexpr std::uint8_t ICMP_DEST_UNREACH = 3;
constexpr std::uint8_t ICMP_HOST_UNREACH = 1;

using platform::FakeIcmpSocket;
using platform::IcmpMessage;

constexpr std::int64_t kMs = 1'000'000;
const std::array<std::uint8_t, ProbeCookie::kKeySize> kKey = {1, 2, 3, 4, 5, 6, 7, 8,
                                                              9, 10, 11, 12, 13, 14, 15, 16};

FakeIcmpSocket::Host Silent() {
  FakeIcmpSocket::Host h;
  h.answers = false;
  return h;
}

IpAddress Ip(std::uint32_t last) { return IpAddress::V4(0x0A000000u | last); }

std::vector<IpAddress> Range(std::uint32_t first, std::uint32_t n) {
  std::vector<IpAddress> v;
  for (std::uint32_t i = 0; i < n; ++i) v.push_back(Ip(first + i));
  return v;
}

class EngineTest : public ::testing::Test {
 protected:
  SweepSummary RunSweep(std::vector<IpAddress> targets, SweepOptions options,
                        std::vector<platform::ConnectedSubnet> on_link = {},
                        platform::NeighbourTable* neighbours = nullptr) {
    sweep_ = std::make_unique<Sweep>(&clock_, &socket_, neighbours, std::move(targets), on_link,
                                     options);
    sweep_->set_cookie(ProbeCookie(kKey));
    start_ns_ = clock_.now_ns;
    return sweep_->Run(nullptr);
  }
  const HostResult& Result(std::size_t i) const { return sweep_->results()[i]; }

  platform::FakeMonotonicClock clock_;
  FakeIcmpSocket socket_{&clock_};
  std::unique_ptr<Sweep> sweep_;
  std::int64_t start_ns_ = 0;
};

TEST_F(EngineTest, TokenBucketHoldsTheRate) {
  SweepOptions options;
  options.rate = 1000;
  for (const IpAddress& a : Range(1, 200)) socket_.SetHost(a, {});
  const SweepSummary s = RunSweep(Range(1, 200), options);
  EXPECT_EQ(s.answered, 200u);
  ASSERT_EQ(socket_.sent().size(), 200u);
  // 200 requests at 1000/s after a bucket of 25: never ahead of the rate,
  // and done in about 175 ms.
  const auto& sent = socket_.sent();
  for (std::size_t i = 25; i < sent.size(); ++i) {
    const std::int64_t earliest = start_ns_ + static_cast<std::int64_t>(i + 1 - 25) * kMs;
    EXPECT_GE(sent[i].at_ns, earliest) << i;
  }
  EXPECT_NEAR((sent.back().at_ns - start_ns_) / 1e6, 175, 5);
  // The sweep ends with the last reply, not with the last deadline.
  EXPECT_LT(s.elapsed_ns, 250 * kMs);
}

TEST_F(EngineTest, OutcomesRetriesTimeoutsAndCounts) {
  struct Case {
    const char* what;
    FakeIcmpSocket::Host host;
    int retries, count;
    Outcome outcome;
    int sent, received, duplicates;
    std::int64_t rtt_ms;
  };
  FakeIcmpSocket::Host silent;
  silent.answers = false;
  FakeIcmpSocket::Host second;
  second.ignore_first = 1;
  second.delay_ns = 7 * kMs;
  FakeIcmpSocket::Host third;
  third.ignore_first = 2;
  FakeIcmpSocket::Host late;
  late.delay_ns = 600 * kMs;
  FakeIcmpSocket::Host doubled;
  doubled.duplicates = 2;
  FakeIcmpSocket::Host unreachable;
  unreachable.error_type = ICMP_DEST_UNREACH;
  unreachable.error_code = ICMP_HOST_UNREACH;
  FakeIcmpSocket::Host refused;
  refused.send_error = EHOSTUNREACH;
  const Case cases[] = {
      {"answers", {}, 1, 1, Outcome::kAnswered, 1, 1, 0, 1},
      {"silent, one retry", silent, 1, 1, Outcome::kSilent, 2, 0, 0, 0},
      {"silent, no retry", silent, 0, 1, Outcome::kSilent, 1, 0, 0, 0},
      {"silent, three retries", silent, 3, 1, Outcome::kSilent, 4, 0, 0, 0},
      {"answers the retry", second, 1, 1, Outcome::kAnswered, 2, 1, 0, 7},
      {"answers too late for one retry", third, 1, 1, Outcome::kSilent, 2, 0, 0, 0},
      {"answers the second retry", third, 2, 1, Outcome::kAnswered, 3, 1, 0, 1},
      {"answers after the deadline", late, 1, 1, Outcome::kSilent, 2, 0, 0, 0},
      {"duplicates counted once", doubled, 1, 1, Outcome::kAnswered, 1, 1, 2, 1},
      {"count of three", {}, 1, 3, Outcome::kAnswered, 3, 3, 0, 1},
      {"count of three, duplicated", doubled, 1, 3, Outcome::kAnswered, 3, 3, 6, 1},
      {"count of three, first lost", second, 1, 3, Outcome::kAnswered, 3, 2, 0, 7},
      {"count, silent: no retries", silent, 2, 3, Outcome::kSilent, 3, 0, 0, 0},
      {"ICMP error", unreachable, 1, 1, Outcome::kError, 2, 0, 0, 0},
      {"send fails", refused, 1, 1, Outcome::kError, 2, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    socket_ = FakeIcmpSocket(&clock_);
    // A neighbour that answers shows the failures stay with their host.
    socket_.SetHost(Ip(1), c.host);
    socket_.SetHost(Ip(2), {});
    SweepOptions options;
    options.retries = c.retries;
    options.count = c.count;
    const SweepSummary s = RunSweep({Ip(1), Ip(2)}, options);
    const HostResult& r = Result(0);
    EXPECT_EQ(r.outcome, c.outcome);
    EXPECT_EQ(r.sent, c.sent);
    EXPECT_EQ(r.received, c.received);
    EXPECT_EQ(r.duplicates, c.duplicates);
    if (c.received > 0) {
      EXPECT_EQ(r.rtt_min_ns, c.rtt_ms * kMs);
    }
    if (c.outcome == Outcome::kError && c.host.error_type) {
      EXPECT_EQ(r.error_type, ICMP_DEST_UNREACH);
      EXPECT_EQ(r.error_from, Ip(1));
    }
    if (c.host.send_error != 0) {
      EXPECT_EQ(r.send_error, EHOSTUNREACH);
    }
    EXPECT_EQ(Result(1).outcome, Outcome::kAnswered);
    EXPECT_EQ(s.answered, c.outcome == Outcome::kAnswered ? 2u : 1u);
    // Probes of a count go an interval (1 s) apart; retries follow the time-out.
    std::vector<std::int64_t> times;
    for (const auto& sent : socket_.sent())
      if (sent.destination == Ip(1)) times.push_back(sent.at_ns - start_ns_);
    for (std::size_t i = 1; i < times.size(); ++i) {
      if (c.count > 1) {
        EXPECT_EQ(times[i] - times[i - 1], 1000 * kMs);
      } else {
        EXPECT_LE(times[i] - times[i - 1], 500 * kMs + 1);
      }
    }
    EXPECT_LE(s.elapsed_ns, (c.sent - 1) * 1000 * kMs + 500 * kMs + 10 * kMs);
  }
}

// Messages forged with knowledge of everything but the key, or sent too late,
// never make a host; the control shows the forgeries aimed at real probes.
TEST_F(EngineTest, OnlyVerifiedTimelyRepliesFromTheProbedAddressCount) {
  socket_.SetHost(Ip(1), Silent());
  socket_.SetHost(Ip(2), Silent());
  socket_.SetHost(Ip(3), Silent());
  const std::int64_t t0 = clock_.now_ns;  // rate max: everything goes at once
  const ProbeCookie cookie(kKey);
  const ProbeCookie other_key(std::array<std::uint8_t, 16>{9});
  const auto reply = [&](IpAddress from, IpAddress probed, std::uint16_t seq, std::int64_t sent,
                         std::int64_t at, const ProbeCookie& c) {
    IcmpMessage m;
    m.from = m.about = from;
    m.sequence = seq;
    m.received_ns = at;
    m.data_size = ProbeCookie::kDataSize;
    c.Fill(probed, seq, sent, m.data.data());
    return m;
  };
  // Probes: 10.0.0.1 seq 0, 10.0.0.2 seq 1, 10.0.0.3 seq 2, all sent at t0.
  socket_.Inject(reply(Ip(1), Ip(1), 0, t0, t0 + 500 * kMs, cookie));       // at the deadline
  socket_.Inject(reply(Ip(1), Ip(2), 1, t0, t0 + 1 * kMs, cookie));         // 2's cookie, from 1
  socket_.Inject(reply(Ip(1), Ip(1), 1, t0, t0 + 1 * kMs, cookie));         // wrong sequence
  socket_.Inject(reply(Ip(1), Ip(1), 0, t0 + 1, t0 + 1 * kMs, cookie));     // wrong send time
  socket_.Inject(reply(Ip(1), Ip(1), 0, t0, t0 + 1 * kMs, other_key));      // wrong key
  socket_.Inject(reply(Ip(9), Ip(9), 0, t0, t0 + 1 * kMs, cookie));         // not a target
  IcmpMessage spoofed_source = reply(Ip(1), Ip(1), 0, t0, t0 + 1 * kMs, cookie);
  spoofed_source.from = Ip(2);                                              // reply from 2 about 1
  socket_.Inject(spoofed_source);
  IcmpMessage truncated = reply(Ip(1), Ip(1), 0, t0, t0 + 1 * kMs, cookie);
  truncated.data_size = 15;
  socket_.Inject(truncated);
  IcmpMessage bad_error = reply(Ip(5), Ip(1), 0, t0, t0 + 1 * kMs, other_key);
  bad_error.kind = IcmpMessage::Kind::kError;
  bad_error.about = Ip(1);
  bad_error.type = ICMP_DEST_UNREACH;
  socket_.Inject(bad_error);
  IcmpMessage short_error = bad_error;  // quotes no data: the sequence must match
  short_error.data_size = 0;
  short_error.sequence = 7;
  socket_.Inject(short_error);
  // Controls: a genuine reply for 3 (late in its first probe window).
  socket_.Inject(reply(Ip(3), Ip(3), 2, t0, t0 + 499 * kMs, cookie));
  SweepOptions options;
  options.rate = 0;
  options.retries = 0;
  const SweepSummary s = RunSweep({Ip(1), Ip(2), Ip(3)}, options);
  EXPECT_EQ(Result(0).outcome, Outcome::kSilent);
  EXPECT_EQ(Result(1).outcome, Outcome::kSilent);
  EXPECT_EQ(Result(2).outcome, Outcome::kAnswered);
  EXPECT_EQ(Result(2).rtt_min_ns, 499 * kMs);
  EXPECT_EQ(s.answered, 1u);
  EXPECT_EQ(s.ignored, 10u);
}

TEST_F(EngineTest, ErrorQuotingTheRequestEndsTheProbeEarly) {
  const std::int64_t t0 = clock_.now_ns;
  socket_.SetHost(Ip(1), Silent());
  IcmpMessage m;
  m.kind = IcmpMessage::Kind::kError;
  m.type = ICMP_DEST_UNREACH;
  m.code = ICMP_HOST_UNREACH;
  m.from = IpAddress::V4(0x0A0000FE);
  m.about = Ip(1);
  m.received_ns = t0 + 3 * kMs;
  m.data_size = ProbeCookie::kDataSize;
  ProbeCookie(kKey).Fill(Ip(1), 0, t0, m.data.data());
  socket_.Inject(m);
  SweepOptions options;
  options.retries = 0;
  const SweepSummary s = RunSweep({Ip(1)}, options);
  EXPECT_EQ(Result(0).outcome, Outcome::kError);
  EXPECT_EQ(Result(0).error_from, IpAddress::V4(0x0A0000FE));
  EXPECT_EQ(s.errors, 1u);
  EXPECT_EQ(s.elapsed_ns, 3 * kMs);
}

// IPv6 targets alike: hop limits as TTLs, errors, silence; a reply carrying
// the cookie of the IPv4 address with the same bytes, or of another IPv6
// address, counts for nothing.
TEST_F(EngineTest, Ipv6TargetsMatchLikeIpv4Ones) {
  const auto v6 = [](std::uint8_t last) {
    std::array<std::uint8_t, 16> b{0xFD};
    b[15] = last;
    return IpAddress::V6(b);
  };
  FakeIcmpSocket::Host far;
  far.ttl = 63;
  socket_.SetHost(v6(1), far);
  FakeIcmpSocket::Host unreachable;
  unreachable.error_type = 1;
  unreachable.error_code = 3;
  socket_.SetHost(v6(2), unreachable);
  socket_.SetHost(v6(3), Silent());
  socket_.SetHost(v6(4), Silent());
  const std::int64_t t0 = clock_.now_ns;
  IcmpMessage forged;
  forged.from = forged.about = v6(3);
  forged.sequence = 2;
  forged.received_ns = t0 + kMs;
  forged.data_size = ProbeCookie::kDataSize;
  ProbeCookie(kKey).Fill(IpAddress::V4(0xFD000000u), 2, t0, forged.data.data());
  socket_.Inject(forged);
  forged.from = forged.about = v6(4);
  forged.sequence = 3;
  ProbeCookie(kKey).Fill(v6(3), 3, t0, forged.data.data());
  socket_.Inject(forged);
  SweepOptions options;
  options.rate = 0;
  options.retries = 0;
  const SweepSummary s = RunSweep({v6(1), v6(2), v6(3), v6(4)}, options);
  EXPECT_EQ(Result(0).outcome, Outcome::kAnswered);
  EXPECT_EQ(Result(0).ttl, 63);
  EXPECT_EQ(Result(1).outcome, Outcome::kError);
  EXPECT_EQ(Result(1).error_type, 1);
  EXPECT_EQ(Result(2).outcome, Outcome::kSilent);
  EXPECT_EQ(Result(3).outcome, Outcome::kSilent);
  EXPECT_EQ(s.answered, 1u);
  EXPECT_EQ(s.ignored, 2u);
}

// A send call that costs 1 ms a request (as sendto does under Wine, where a
// batch of 256 took a quarter of a second): each host's round trip and
// deadline count from when its own request went, not from the batch's start.
// Sending the batch takes 256 ms, so when the first read comes most
// deadlines have passed; replies that came in time count even then. 40 of
// them queue up: a read that takes part of them must not let the core judge
// deadlines as if the queue were drained.
TEST_F(EngineTest, RoundTripsAndDeadlinesCountFromEachRequestsOwnSend) {
  constexpr std::int64_t kTimeout = 20 * kMs;
  struct Case {
    std::uint32_t position;  // in the batch of 256
    std::int64_t delay_ns;   // 0: silent
    Outcome outcome;
    std::uint32_t hosts = 1;  // from `position` on
  };
  const Case cases[] = {
      {3, 5 * kMs, Outcome::kAnswered},
      {10, kMs, Outcome::kAnswered, 40},
      {200, 5 * kMs, Outcome::kAnswered},
      {201, kTimeout - kMs, Outcome::kAnswered},
      {202, kTimeout + kMs, Outcome::kSilent},
      {255, 0, Outcome::kSilent},
  };
  for (const IpAddress& a : Range(1, 256)) socket_.SetHost(a, Silent());
  for (const Case& c : cases) {
    FakeIcmpSocket::Host h;
    h.delay_ns = c.delay_ns;
    h.answers = c.delay_ns > 0;
    for (std::uint32_t i = 0; i < c.hosts; ++i) socket_.SetHost(Ip(1 + c.position + i), h);
  }
  socket_.set_send_cost(kMs);
  SweepOptions options;
  options.rate = 0;
  options.retries = 0;
  options.timeout_ns = kTimeout;
  const SweepSummary s = RunSweep(Range(1, 256), options);
  ASSERT_EQ(socket_.sent().size(), 256u);
  for (const Case& c : cases) {
    for (std::uint32_t i = c.position; i < c.position + c.hosts; ++i) {
      SCOPED_TRACE(i);
      const HostResult& r = Result(i);
      EXPECT_EQ(r.outcome, c.outcome);
      if (c.outcome == Outcome::kAnswered) {
        EXPECT_EQ(r.rtt_min_ns, c.delay_ns);
      }
    }
  }
  // The last request's deadline is a time-out after it went.
  EXPECT_GE(s.elapsed_ns, 255 * kMs + kTimeout);
}

// A reply's host is found by subtraction in a block, by search in a list:
// every target's reply counts, and genuine-looking replies from just outside
// the block, or from an address with a target's last four bytes (and that
// target's sequence number), are ignored.
TEST_F(EngineTest, RepliesFindTheirHostInBlocksAndLists) {
  const auto v6 = [](std::uint8_t high, std::uint32_t low) {
    std::array<std::uint8_t, 16> b{high};
    for (int i = 0; i < 4; ++i) b[12 + i] = static_cast<std::uint8_t>(low >> (24 - 8 * i));
    return IpAddress::V6(b);
  };
  const struct {
    std::vector<IpAddress> targets;
    std::vector<std::pair<IpAddress, std::uint16_t>> outsiders;  // and the sequence they carry
  } cases[] = {
      {Range(1, 4),
       {{Ip(0), 0}, {Ip(5), 3}, {v6(0, Ip(2).v4()), 1}, {IpAddress::V4(0x0B000002), 1}}},
      {{Ip(1), Ip(3), Ip(4), Ip(7)},
       {{Ip(2), 1}, {Ip(5), 2}, {Ip(8), 3}, {v6(0, Ip(3).v4()), 1}}},
      {{v6(0xFD, 1), v6(0xFD, 2), v6(0xFD, 3)},
       {{v6(0xFD, 0), 0}, {v6(0xFD, 4), 2}, {v6(0xFE, 2), 1}, {Ip(2), 1}}},
  };
  for (const auto& c : cases) {
    socket_ = FakeIcmpSocket(&clock_);
    for (const IpAddress& a : c.targets) socket_.SetHost(a, {});
    for (const auto& [from, sequence] : c.outsiders) {
      IcmpMessage m;
      m.from = m.about = from;
      m.sequence = sequence;
      m.received_ns = clock_.now_ns + kMs / 2;
      m.data_size = ProbeCookie::kDataSize;
      ProbeCookie(kKey).Fill(from, sequence, clock_.now_ns, m.data.data());
      socket_.Inject(m);
    }
    SweepOptions options;
    options.rate = 0;
    const SweepSummary s = RunSweep(c.targets, options);
    EXPECT_EQ(s.answered, c.targets.size()) << c.targets[0].ToString();
    EXPECT_EQ(s.duplicates, 0u) << c.targets[0].ToString();
    EXPECT_EQ(s.ignored, c.outsiders.size()) << c.targets[0].ToString();
  }
}

TEST(ProbeCookieTest, VerifiesOnlyItsOwnFields) {
  const ProbeCookie cookie;  // random key
  // The same four bytes as an IPv4 address, IPv4-mapped and leading an IPv6
  // one: the families' messages differ in length, and must not meet.
  std::array<std::uint8_t, 16> mapped{}, leading{};
  mapped[10] = mapped[11] = 0xFF;
  std::memcpy(mapped.data() + 12, Ip(1).data(), 4);
  std::memcpy(leading.data(), Ip(1).data(), 4);
  const IpAddress addresses[] = {Ip(1), IpAddress::V6(mapped), IpAddress::V6(leading)};
  for (const IpAddress& to : addresses) {
    SCOPED_TRACE(to.ToString());
    std::uint8_t data[ProbeCookie::kDataSize];
    cookie.Fill(to, 42, 123456789, data);
    EXPECT_EQ(cookie.Verify(to, 42, data, sizeof(data)), 123456789);
    for (const IpAddress& other : addresses) {
      if (other != to) {
        EXPECT_FALSE(cookie.Verify(other, 42, data, sizeof(data))) << other.ToString();
      }
    }
    EXPECT_FALSE(cookie.Verify(Ip(2), 42, data, sizeof(data)));
    EXPECT_FALSE(cookie.Verify(to, 43, data, sizeof(data)));
    EXPECT_FALSE(cookie.Verify(to, 42, data, sizeof(data) - 1));
    EXPECT_FALSE(ProbeCookie().Verify(to, 42, data, sizeof(data)));  // another sweep's key
    for (std::size_t i = 0; i < sizeof(data); ++i) {
      std::uint8_t flipped[sizeof(data)];
      std::copy(data, data + sizeof(data), flipped);
      flipped[i] ^= 0x01;
      EXPECT_FALSE(cookie.Verify(to, 42, flipped, sizeof(flipped))) << "byte " << i;
    }
  }
}

// An on-link sweep larger than the neighbour table: without the window the
// table drops requests (answering hosts lost); with it none is lost, even
// with another namespace holding entries.
TEST_F(EngineTest, NeighbourWindowLosesNoHost) {
  const platform::ConnectedSubnet lan{IpAddress::V4(0x0A000000), 16, IpAddress::V4(0x0A00FFFE),
                                      "eth0", false};
  // IPv6 alike, over the NDP table: fd00::/64, the targets fd00::a00:1 on.
  const auto v6 = [](const IpAddress& a) {
    std::array<std::uint8_t, 16> b{0xFD};
    std::memcpy(b.data() + 12, a.data(), 4);
    return IpAddress::V6(b);
  };
  const platform::ConnectedSubnet lan6{v6(IpAddress::V4(0)), 64, v6(IpAddress::V4(0xFFFF)), "eth0",
                                       false};
  struct Case {
    bool window;
    int others;
    bool ipv6;
  };
  for (const Case c : {Case{false, 0, false}, Case{true, 0, false}, Case{true, 300, false},
                       Case{true, 0, true}}) {
    SCOPED_TRACE(testing::Message() << "window " << c.window << ", others " << c.others << ", ipv6 "
                                    << c.ipv6);
    std::vector<IpAddress> targets = Range(1, 2500);
    if (c.ipv6) std::transform(targets.begin(), targets.end(), targets.begin(), v6);
    socket_ = FakeIcmpSocket(&clock_);
    platform::FakeNeighbourTable table(&clock_, 1024, 30'000 * kMs);
    table.other_entries = c.others;
    socket_.set_neighbours(&table);
    for (const IpAddress& a : targets) socket_.SetHost(a, {});
    SweepOptions options;
    options.rate = 0;
    options.retries = 0;
    const SweepSummary s = RunSweep(targets, options,
                                    c.window ? std::vector{lan, lan6} : std::vector<platform::ConnectedSubnet>{},
                                    &table);
    if (!c.window) {
      EXPECT_GT(table.dropped(), 0);
      EXPECT_LT(s.answered, 2500u);
      continue;
    }
    EXPECT_EQ(table.dropped(), 0);
    EXPECT_EQ(s.answered, 2500u);
    EXPECT_LE(table.most_held(), 1024);
    EXPECT_EQ(sweep_->on_link_count(), 2500u);
    // Three rounds of the table: what the warning announces, roughly.
    EXPECT_GT(sweep_->ExpectedOnLinkSeconds(), 60);
    EXPECT_LT(s.elapsed_ns / 1e9, sweep_->ExpectedOnLinkSeconds() + 40);
  }
}

TEST_F(EngineTest, StopEndsTheSweepWithWhatWasFound) {
  class StopAfterFirst : public SweepObserver {
   public:
    explicit StopAfterFirst(Sweep* s) : sweep(s) {}
    void OnAnswer(const HostResult&) override { sweep->Stop(); }
    void OnFinished(const HostResult& r) override { finished.push_back(r.address); }
    Sweep* sweep;
    std::vector<IpAddress> finished;
  };
  for (const IpAddress& a : Range(1, 100)) socket_.SetHost(a, {});
  SweepOptions options;
  options.rate = 10;
  Sweep sweep(&clock_, &socket_, nullptr, Range(1, 100), {}, options);
  StopAfterFirst observer(&sweep);
  const SweepSummary s = sweep.Run(&observer);
  EXPECT_TRUE(s.interrupted);
  EXPECT_EQ(s.answered, 1u);
  EXPECT_EQ(observer.finished, std::vector<IpAddress>{Ip(1)});
  EXPECT_LT(s.sent, 10u);
}

}  // namespace
}  // namespace ps::sweep
