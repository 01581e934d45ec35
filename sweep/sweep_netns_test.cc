// The engine over real sockets, in private network namespaces: a routed
// subnet with a silent part and an ICMP error, on both socket kinds; a
// hostile responder that never makes a false host; and a raw socket's read
// behind a crowd of other programs' packets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/clock/monotonic_clock.h"
#include "platform/inet/linux_sweep.h"
#include "sweep/engine.h"
#include "sweep/sweep_test_checks.h"
#include "sweep/targets.h"
#include "testsupport/icmp_responder.h"
#include "testsupport/private_network.h"
#include "testsupport/veth_lab.h"

namespace ps::sweep {
namespace {

using platform::IcmpSocket;

std::vector<IpAddress> Targets(const std::vector<std::string>& specs) {
  TargetList list(nullptr);
  for (const auto& s : specs) EXPECT_EQ(list.Add(s).message(), "");
  auto out = list.Expand();
  EXPECT_EQ(out.status().message(), "");
  if (!out.ok()) return {};
  return std::vector<IpAddress>(out.value().begin(), out.value().end());
}

const HostResult& ResultFor(const Sweep& sweep, const std::string& address) {
  for (const HostResult& r : sweep.results())
    if (r.address.ToString() == address) return r;
  static HostResult none;
  ADD_FAILURE() << "no result for " << address;
  return none;
}

struct Kind {
  const char* name;
  IcmpSocket::Kind kind;
};
const Kind kKinds[] = {{"datagram", IcmpSocket::Kind::kDatagram}, {"raw", IcmpSocket::Kind::kRaw}};

// A sweep over a real socket of that kind, at most as fast as asked.
SweepSummary SweepOver(const Kind& k, const std::vector<std::string>& targets,
                       std::int64_t timeout_ns, double rate, std::unique_ptr<Sweep>* sweep) {
  static platform::LinuxIcmpOpener opener;
  auto opened = opener.Open(IpAddress::Family::kV4, k.kind);
  EXPECT_TRUE(opened) << opened.status().message();
  if (!opened) return {};
  const auto socket = std::move(opened).value();
  SweepOptions options;
  options.timeout_ns = timeout_ns;
  options.retries = 1;
  options.rate = rate;
  *sweep = std::make_unique<Sweep>(&platform::SystemMonotonicClock(), socket.get(), nullptr, Targets(targets),
                                   std::vector<platform::ConnectedSubnet>{}, options);
  return (*sweep)->Run(nullptr);
}

TEST(SweepNetnsTest, RoutedSubnetWithSilentPartAndAnError) {
  PS_REQUIRE_PRIVATE_NETWORK();
  testing::ScopedSysctl ping_group("net/ipv4/ping_group_range", "0 2147483647");
  testing::VethLab lab("10.77.0.0/16", "");
  ASSERT_EQ(lab.error(), "");
  ASSERT_TRUE(lab.DropEchoRequests("10.77.1.128/25"));
  ASSERT_TRUE(lab.RejectEchoRequests("10.77.1.100", "host-unreachable"));
  for (const Kind& k : kKinds) {
    SCOPED_TRACE(k.name);
    std::unique_ptr<Sweep> swept;
    const SweepSummary s = SweepOver(k, {"10.77.1.0/24"}, 300'000'000, 0, &swept);
    ASSERT_TRUE(swept);
    const Sweep& sweep = *swept;
    EXPECT_EQ(s.socket_status.system_error(), 0);
    EXPECT_EQ(s.answered, 126u);  // .1 to .127 less .100
    EXPECT_EQ(s.errors, 1u);
    for (const HostResult& r : sweep.results()) {
      const std::uint32_t last = r.address.v4() & 0xFF;
      SCOPED_TRACE(r.address.ToString());
      if (last == 100) {
        EXPECT_EQ(r.outcome, Outcome::kError);
        EXPECT_EQ(r.error_type, ICMP_DEST_UNREACH);
        EXPECT_EQ(r.error_code, ICMP_HOST_UNREACH);
      } else if (last < 128) {
        testing::ExpectAnsweredOnce(r, 300'000'000);  // TTL or hop limit 64: one router on the way
      } else {
        testing::ExpectSilentAfterRetry(r);
      }
    }
  }
}

// A raw socket sees every ICMP message the machine gets. A read whose whole
// batch was somebody else's (here 300 damaged echo replies) must read on to
// our reply behind them: a read that kept none would tell the sweep the queue
// was drained, and it would judge deadlines with the reply still waiting.
TEST(SweepNetnsTest, RawReadReadsOnPastOtherProgramsPackets) {
  PS_REQUIRE_PRIVATE_NETWORK();
  platform::LinuxIcmpOpener opener;
  auto opened = opener.Open(IpAddress::Family::kV4, IcmpSocket::Kind::kRaw);
  ASSERT_TRUE(opened) << opened.status().message();
  const auto socket = std::move(opened).value();
  const int other = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  ASSERT_GE(other, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int i = 0; i < 300; ++i) {
    // Checksum 0: wrong for this header, so no parser takes it for a reply.
    const std::uint8_t reply[8] = {ICMP_ECHOREPLY, 0, 0, 0, 0x42, 0x42, 0, static_cast<std::uint8_t>(i)};
    ASSERT_EQ(sendto(other, reply, sizeof(reply), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to)),
              8);
  }
  close(other);
  const std::uint8_t data[16] = {1, 2, 3};
  const platform::EchoRequest request{*IpAddress::Parse("127.0.0.1"), 7, data, sizeof(data)};
  std::int64_t went = 0;
  ASSERT_EQ(socket->Send(std::span(&request, 1), std::span(&went, 1)).sent, 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the reply, queued behind them
  std::vector<platform::IcmpMessage> batch(kSweepBatch);
  const std::int64_t until = platform::SystemMonotonicClock().NowNs() + 1'000'000'000;
  ASSERT_EQ(socket->Receive(batch, until), 1);
  EXPECT_EQ(batch[0].from.ToString(), "127.0.0.1");
  EXPECT_EQ(batch[0].sequence, 7);
}

// A responder that forges: wrong data, another address's reply, late and
// doubled replies; the kernel rejects one address with an error. Only the
// honest replies count, each host once.
TEST(SweepNetnsTest, HostileResponderMakesNoFalseHost) {
  PS_REQUIRE_PRIVATE_NETWORK();
  testing::ScopedSysctl ping_group("net/ipv4/ping_group_range", "0 2147483647");
  testing::ScopedSysctl quiet("net/ipv4/icmp_echo_ignore_all", "1");
  testing::ResetFirewall();
  testing::RejectEchoRequestsTo("127.0.0.16", "host-unreachable");
  testing::IcmpResponder responder, second;
  ASSERT_TRUE(responder.ok() && second.ok());
  responder.Answer("127.0.0.10", {});                                       // honest
  responder.Answer("127.0.0.11", {0, std::string(16, '\x5A'), ""});         // bad cookie
  responder.Answer("127.0.0.12", {0, std::nullopt, "127.0.0.13"});          // forged source
  responder.Answer("127.0.0.14", {400, std::nullopt, ""});                  // late
  responder.Answer("127.0.0.15", {});                                       // doubled
  second.Answer("127.0.0.15", {});
  second.Answer("127.0.0.17", {0, std::nullopt, "127.0.0.10"});             // claims to be .10
  second.Answer("127.0.0.18", {0, std::string("short"), ""});               // truncated data
  second.Answer("127.0.0.19", {0, std::nullopt, "", false, true});          // wrong checksum
  second.Answer("127.0.0.20", {0, std::nullopt, "", true, true});           // damaged error
  for (const Kind& k : kKinds) {
    SCOPED_TRACE(k.name);
    std::unique_ptr<Sweep> swept;
    const SweepSummary s = SweepOver(k, {"127.0.0.10-20"}, 200'000'000, 10000, &swept);
    ASSERT_TRUE(swept);
    const Sweep& sweep = *swept;
    EXPECT_EQ(s.answered, 2u);
    EXPECT_EQ(ResultFor(sweep, "127.0.0.10").outcome, Outcome::kAnswered);
    const HostResult& doubled = ResultFor(sweep, "127.0.0.15");
    EXPECT_EQ(doubled.outcome, Outcome::kAnswered);
    EXPECT_EQ(doubled.received, 1);
    EXPECT_EQ(doubled.duplicates, 1);
    EXPECT_EQ(ResultFor(sweep, "127.0.0.16").outcome, Outcome::kError);
    for (const char* a : {"127.0.0.11", "127.0.0.12", "127.0.0.13", "127.0.0.14", "127.0.0.17",
                          "127.0.0.18", "127.0.0.19", "127.0.0.20"}) {
      EXPECT_EQ(ResultFor(sweep, a).outcome, Outcome::kSilent) << a;
    }
    EXPECT_GE(s.ignored, 8u);
    // Late replies of this round must not leak into the next.
    std::this_thread::sleep_for(std::chrono::milliseconds(450));
  }
}

}  // namespace
}  // namespace ps::sweep
