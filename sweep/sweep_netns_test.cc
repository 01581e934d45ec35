// The engine over real sockets, in private network namespaces: a routed
// subnet with a silent part and an ICMP error, on both socket kinds; and a
// hostile responder that never makes a false host.
#include <gtest/gtest.h>
#include <linux/icmp.h>

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
