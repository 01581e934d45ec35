// The TCP sweep over a fake clock and scripted hosts: what each kind of host
// answers and how it is credited (first answer, retries, deadlines, counts),
// forged and stray answers never credited, pacing in packets, and connect()
// attempts bounded in flight.
#include "sweep/tcp_sweep.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <future>

#include "platform/inet/sweep_fakes.h"

namespace ps::sweep {
namespace {

using platform::FakeTcpSocket;
using platform::kTcpAck;
using platform::kTcpRst;
using platform::kTcpSyn;
using platform::TcpAnswer;
using platform::TcpProbeSocket;

constexpr std::int64_t kMs = 1'000'000;
const std::array<std::uint8_t, ProbeCookie::kKeySize> kKey = {9, 8, 7, 6, 5, 4, 3, 2,
                                                              1, 0, 1, 2, 3, 4, 5, 6};
const IpAddress kLocal = IpAddress::V4(0x0A0000FE);

IpAddress Ip(std::uint32_t last) { return IpAddress::V4(0x0A000000u | last); }

std::vector<IpAddress> Range(std::uint32_t first, std::uint32_t n) {
  std::vector<IpAddress> v;
  for (std::uint32_t i = 0; i < n; ++i) v.push_back(Ip(first + i));
  return v;
}

TcpProbeKind Syn(std::uint16_t port) { return {kTcpSyn, port}; }
TcpProbeKind Ack(std::uint16_t port) { return {kTcpAck, port}; }

class TcpSweepTest : public ::testing::Test {
 protected:
  SweepSummary RunSweep(std::vector<IpAddress> targets, std::vector<TcpProbeKind> probes,
                        SweepOptions options = {}) {
    sweep_ = std::make_unique<TcpSweep>(&clock_, socket_.get(), nullptr, std::move(targets),
                                        std::vector<platform::ConnectedSubnet>{}, std::move(probes),
                                        options);
    sweep_->set_cookie(ProbeCookie(kKey));
    start_ns_ = clock_.now_ns;
    return sweep_->Run(nullptr);
  }
  const HostResult& Result(std::size_t i) const { return sweep_->results()[i]; }

  platform::FakeMonotonicClock clock_;
  std::unique_ptr<FakeTcpSocket> socket_ =
      std::make_unique<FakeTcpSocket>(&clock_, TcpProbeSocket::Kind::kRaw, kLocal);
  std::unique_ptr<TcpSweep> sweep_;
  std::int64_t start_ns_ = 0;
};

TEST_F(TcpSweepTest, WhatEachHostAnswersAndHowItIsCredited) {
  FakeTcpSocket::Host listens;
  listens.open = {443};
  FakeTcpSocket::Host closed;  // every port resets
  FakeTcpSocket::Host silent;
  silent.answers = false;
  FakeTcpSocket::Host acks_only;  // a filter that passes only ACKs
  acks_only.drops_syn = true;
  FakeTcpSocket::Host only22;
  only22.open = {22};
  only22.resets_closed = false;
  only22.delay_ns = 3 * kMs;
  FakeTcpSocket::Host second;
  second.open = {443};
  second.ignore_first = 1;
  FakeTcpSocket::Host late;
  late.open = {443};
  late.delay_ns = 600 * kMs;
  FakeTcpSocket::Host doubled;
  doubled.open = {443};
  doubled.duplicates = 2;
  struct Case {
    const char* what;
    FakeTcpSocket::Host host;
    std::vector<TcpProbeKind> probes;
    int count;
    Outcome outcome;
    int sent, received, duplicates;
    Via via;
    std::uint16_t via_port;
  };
  const std::vector<TcpProbeKind> usual = {Syn(443), Syn(80), Syn(22)};
  const Case cases[] = {
      {"listens", listens, {Syn(443)}, 1, Outcome::kAnswered, 1, 1, 0, Via::kTcpSyn, 443},
      {"resets a closed port", closed, {Syn(443)}, 1, Outcome::kAnswered, 1, 1, 0, Via::kTcpSyn, 443},
      {"silent, one retry", silent, usual, 1, Outcome::kSilent, 2, 0, 0, Via::kNone, 0},
      {"SYNs dropped", acks_only, {Syn(80)}, 1, Outcome::kSilent, 2, 0, 0, Via::kNone, 0},
      {"SYNs dropped, ACK answered", acks_only, {Syn(80), Ack(80)}, 1, Outcome::kAnswered, 1, 1, 0,
       Via::kTcpAck, 80},
      {"only the third port answers", only22, usual, 1, Outcome::kAnswered, 1, 1, 0, Via::kTcpSyn, 22},
      {"answers the retry", second, {Syn(443)}, 1, Outcome::kAnswered, 2, 1, 0, Via::kTcpSyn, 443},
      {"answers after the deadline", late, {Syn(443)}, 1, Outcome::kSilent, 2, 0, 0, Via::kNone, 0},
      {"duplicates of one answer", doubled, {Syn(443)}, 1, Outcome::kAnswered, 1, 1, 2, Via::kTcpSyn,
       443},
      {"every port answers: one credit a round", closed, usual, 3, Outcome::kAnswered, 3, 3, 0,
       Via::kTcpSyn, 22},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    socket_ = std::make_unique<FakeTcpSocket>(&clock_, TcpProbeSocket::Kind::kRaw, kLocal);
    socket_->SetHost(Ip(1), c.host);
    socket_->SetHost(Ip(2), listens);  // a neighbour: outcomes stay with their host
    SweepOptions options;
    options.count = c.count;
    options.interval_ns = 100 * kMs;
    const SweepSummary s = RunSweep({Ip(1), Ip(2)}, c.probes, options);
    const HostResult& r = Result(0);
    EXPECT_EQ(r.outcome, c.outcome);
    EXPECT_EQ(r.sent, c.sent);
    EXPECT_EQ(r.received, c.received);
    EXPECT_EQ(r.duplicates, c.duplicates);
    EXPECT_EQ(r.via, c.via);
    EXPECT_EQ(r.via_port, c.via_port);
    if (c.received > 0) {
      EXPECT_EQ(r.rtt_min_ns, c.host.delay_ns);
      EXPECT_EQ(r.ttl, 64);
    }
    EXPECT_EQ(Result(1).outcome, Outcome::kAnswered);
    EXPECT_EQ(s.answered, c.outcome == Outcome::kAnswered ? 2u : 1u);
    // Only the late answer to the first round is read (the retry's comes after the end).
    EXPECT_EQ(s.ignored, c.host.delay_ns > 500 * kMs ? 1u : 0u);
    // Each probe is numbered by the cookie of its host, port, kind and round.
    const ProbeCookie cookie(kKey);
    for (const FakeTcpSocket::Sent& sent : socket_->sent()) {
      const platform::TcpProbe& p = sent.probe;
      const std::uint32_t expected = cookie.Tcp(p.destination, p.port, kLocal,
                                                FakeTcpSocket::kSourcePort, p.flags,
                                                static_cast<std::uint16_t>(p.tag));
      EXPECT_EQ(p.flags == kTcpSyn ? p.sequence : p.acknowledgement, expected);
      EXPECT_EQ(p.source, kLocal);
    }
  }
}

// Answers an attacker could send, or that stray in: none is credited, each
// is counted as ignored.
TEST_F(TcpSweepTest, ForgedAndStrayAnswersAreNeverCredited) {
  FakeTcpSocket::Host silent;
  silent.answers = false;
  socket_->SetHost(Ip(1), silent);
  socket_->SetHost(Ip(2), silent);
  const ProbeCookie cookie(kKey);
  const std::uint16_t port = FakeTcpSocket::kSourcePort;
  // The first round of 10.0.0.1 is sequence 0, of 10.0.0.2 sequence 1; both
  // go out at the start and their deadline is 500 ms later.
  const std::uint32_t syn443 = cookie.Tcp(Ip(1), 443, kLocal, port, kTcpSyn, 0);
  const std::uint32_t ack80 = cookie.Tcp(Ip(1), 80, kLocal, port, kTcpAck, 0);
  const std::int64_t t = clock_.now_ns + 2 * kMs;
  const auto answer = [](IpAddress from, std::uint16_t from_port, IpAddress to,
                         std::uint16_t to_port, std::uint8_t flags, std::uint32_t seq,
                         std::uint32_t ack, std::int64_t at) {
    return TcpAnswer{from, to, from_port, to_port, flags, 64, seq, ack, 0, 0, at};
  };
  const TcpAnswer forged[] = {
      answer(Ip(1), 443, kLocal, port, kTcpSyn | kTcpAck, 1, syn443 + 2, t),       // wrong ack
      answer(Ip(1), 443, kLocal, port, kTcpSyn | kTcpAck, 1, syn443, t),           // not plus one
      answer(Ip(1), 22, kLocal, port, kTcpSyn | kTcpAck, 1, syn443 + 1, t),        // wrong port
      answer(Ip(2), 443, kLocal, port, kTcpSyn | kTcpAck, 1, syn443 + 1, t),       // wrong source
      answer(Ip(9), 443, kLocal, port, kTcpSyn | kTcpAck, 1, syn443 + 1, t),       // not a target
      answer(Ip(1), 443, Ip(99), port, kTcpSyn | kTcpAck, 1, syn443 + 1, t),       // to another address
      answer(Ip(1), 443, kLocal, port + 1, kTcpSyn | kTcpAck, 1, syn443 + 1, t),   // to another port
      answer(Ip(1), 443, kLocal, port, kTcpSyn, 1, syn443 + 1, t),                 // a bare SYN
      answer(Ip(1), 443, kLocal, port, kTcpRst, syn443 + 1, 0, t),                 // reset without ACK
      answer(Ip(1), 80, kLocal, port, kTcpRst, ack80 + 1, 0, t),                   // wrong reset number
      answer(Ip(1), 80, kLocal, port, kTcpSyn | kTcpAck, ack80, ack80, t),         // SYN-ACK to an ACK
      answer(Ip(1), 443, kLocal, port, kTcpSyn | kTcpAck, 1, syn443 + 1, t + 500 * kMs),  // late
      answer(Ip(1), 80, kLocal, port, kTcpRst, ack80, 0, t + 500 * kMs),                  // late
  };
  for (const TcpAnswer& a : forged) socket_->Inject(a);
  SweepOptions options;
  options.retries = 1;
  options.timeout_ns = 500 * kMs;
  const SweepSummary s = RunSweep({Ip(1), Ip(2)}, {Syn(443), Ack(80)}, options);
  EXPECT_EQ(s.answered, 0u);
  EXPECT_EQ(s.ignored, std::size(forged));
  for (const HostResult& r : sweep_->results()) EXPECT_EQ(r.outcome, Outcome::kSilent);

  // The same numbers, true and in time, are credited: the checks above are
  // what refused them.
  socket_ = std::make_unique<FakeTcpSocket>(&clock_, TcpProbeSocket::Kind::kRaw, kLocal);
  socket_->SetHost(Ip(1), silent);
  const std::uint32_t fresh = cookie.Tcp(Ip(1), 443, kLocal, port, kTcpSyn, 0);
  socket_->Inject(answer(Ip(1), 443, kLocal, port, kTcpRst | kTcpAck, 0, fresh + 1,
                         clock_.now_ns + 2 * kMs));
  EXPECT_EQ(RunSweep({Ip(1)}, {Syn(443)}, options).answered, 1u);
}

TEST_F(TcpSweepTest, PacketsKeepTheRate) {
  FakeTcpSocket::Host listens;
  listens.open = {443};
  for (const IpAddress& a : Range(1, 100)) socket_->SetHost(a, listens);
  SweepOptions options;
  options.rate = 1000;
  const SweepSummary s = RunSweep(Range(1, 100), {Syn(443), Syn(80), Syn(22)}, options);
  EXPECT_EQ(s.answered, 100u);
  EXPECT_EQ(s.sent, 300u);
  const auto& sent = socket_->sent();
  ASSERT_EQ(sent.size(), 300u);
  // After a bucket of 25, never more than a round (3 packets) ahead of the
  // rate; done in about 275 ms.
  for (std::size_t i = 25; i < sent.size(); ++i) {
    const std::int64_t earliest = start_ns_ + static_cast<std::int64_t>(i + 1 - 25 - 2) * kMs;
    EXPECT_GE(sent[i].at_ns, earliest) << i;
  }
  EXPECT_NEAR((sent.back().at_ns - start_ns_) / 1e6, 275, 5);
  // A round's probes go out together.
  for (std::size_t i = 0; i < sent.size(); i += 3) EXPECT_EQ(sent[i].at_ns, sent[i + 2].at_ns);
}

TEST_F(TcpSweepTest, ConnectAttemptsStayWithinTheirBoundAndCreditByTag) {
  socket_ = std::make_unique<FakeTcpSocket>(&clock_, TcpProbeSocket::Kind::kConnect, kLocal, 10);
  FakeTcpSocket::Host listens;
  listens.open = {443};
  listens.resets_closed = false;
  FakeTcpSocket::Host refuses;
  FakeTcpSocket::Host unreachable;
  unreachable.connect_error = EHOSTUNREACH;
  FakeTcpSocket::Host silent;
  silent.answers = false;
  const std::vector<IpAddress> targets = Range(1, 100);
  for (std::size_t i = 0; i < targets.size(); ++i) {
    const FakeTcpSocket::Host* h[] = {&listens, &refuses, &unreachable, &silent};
    socket_->SetHost(targets[i], *h[i % 4]);
  }
  SweepOptions options;
  options.rate = 0;
  options.retries = 0;
  // ACK probes cannot be made with connect(): left out.
  const SweepSummary s = RunSweep(targets, {Syn(443), Syn(80), Ack(80)}, options);
  EXPECT_EQ(s.sent, 200u);
  EXPECT_LE(socket_->most_in_flight(), 10u);
  EXPECT_EQ(s.answered, 50u);
  EXPECT_EQ(s.errors, 25u);
  for (std::size_t i = 0; i < targets.size(); ++i) {
    SCOPED_TRACE(targets[i].ToString());
    const HostResult& r = Result(i);
    switch (i % 4) {
      case 0: EXPECT_EQ(r.via_port, 443); [[fallthrough]];
      case 1:
        EXPECT_EQ(r.outcome, Outcome::kAnswered);
        EXPECT_EQ(r.via, Via::kTcpSyn);
        break;
      case 2:
        EXPECT_EQ(r.outcome, Outcome::kError);
        EXPECT_EQ(r.send_error, EHOSTUNREACH);
        break;
      default: EXPECT_EQ(r.outcome, Outcome::kSilent);
    }
  }
  for (const FakeTcpSocket::Sent& sent : socket_->sent()) EXPECT_EQ(sent.probe.flags, kTcpSyn);
}

// A host's next round falls due while every connect() slot is taken (by a
// silent host): the sweep waits for a slot to free instead of waking at once,
// again and again, for the round it cannot send.
TEST_F(TcpSweepTest, ARoundDueWithNoRoomWaitsForRoom) {
  socket_ = std::make_unique<FakeTcpSocket>(&clock_, TcpProbeSocket::Kind::kConnect, kLocal, 1);
  FakeTcpSocket::Host listens;
  listens.open = {443};
  FakeTcpSocket::Host silent;
  silent.answers = false;
  socket_->SetHost(Ip(1), listens);
  socket_->SetHost(Ip(2), silent);
  SweepOptions options;
  options.rate = 0;
  options.count = 2;
  options.interval_ns = 2 * kMs;
  options.timeout_ns = 500 * kMs;
  TcpSweep sweep(&clock_, socket_.get(), nullptr, {Ip(1), Ip(2)}, {}, {Syn(443)}, options);
  auto run = std::async(std::launch::async, [&sweep] { return sweep.Run(nullptr); });
  // The fake clock stands still while the sweep spins: stop it then.
  if (run.wait_for(std::chrono::seconds(20)) != std::future_status::ready) sweep.Stop();
  const SweepSummary s = run.get();
  EXPECT_FALSE(s.interrupted);
  EXPECT_EQ(sweep.results()[0].received, 2);
  EXPECT_EQ(sweep.results()[1].sent, 2);
  EXPECT_LE(socket_->most_in_flight(), 1u);
}

TEST_F(TcpSweepTest, NoRouteIsAnErrorOfThatHost) {
  socket_->set_unroutable(Ip(2));
  EXPECT_EQ(RunSweep(Range(1, 3), {Syn(443)}).errors, 1u);
  EXPECT_EQ(Result(1).send_error, ENETUNREACH);
  EXPECT_EQ(Result(1).sent, 2);  // and its retry
  for (const FakeTcpSocket::Sent& sent : socket_->sent()) EXPECT_NE(sent.probe.destination, Ip(2));
}

}  // namespace
}  // namespace ps::sweep
