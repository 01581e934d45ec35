// PingHost and ResolveHostName over the real Linux services, inside the test
// binary's own network namespace.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "net/ping.h"
#include "platform/netapi/linux_net_services.h"
#include "platform/netapi/net_fakes.h"
#include "testsupport/icmp_responder.h"
#include "testsupport/private_network.h"

namespace ps {
namespace {

using platform::LinuxEchoService;
using ps::testing::IcmpResponder;
using ps::testing::ScopedSysctl;

const std::u16string kPresentText = u"Présent" + std::u16string(243, u' ');
const std::u16string kFailedText = u"FAILED" + std::u16string(244, u' ');

platform::IPAddr Addr(const char* dotted) {
  in_addr a{};
  inet_pton(AF_INET, dotted, &a);
  return a.s_addr;
}

class PingHostNetnsTest : public ::testing::TestWithParam<LinuxEchoService::SocketKind> {
 protected:
  void SetUp() override {
    PS_REQUIRE_PRIVATE_NETWORK();
    group_range_.emplace(
        "net/ipv4/ping_group_range",
        GetParam() == LinuxEchoService::SocketKind::kDatagram ? "0 2147483647" : "1 0");
    ps::testing::ResetFirewall();
  }
  std::optional<ScopedSysctl> group_range_;
  platform::FakeWindowSystem window_;
  platform::ScopedServices scope_{{nullptr, nullptr, nullptr, &window_}};
};

TEST_P(PingHostNetnsTest, LoopbackHostIsPresent) {
  const PingResult r = PingHost(u"127.0.0.7");
  EXPECT_EQ(r.Present, -1);
  EXPECT_EQ(r.StatusText.View(), kPresentText);
  EXPECT_EQ(r.Address, Addr("127.0.0.7"));
  EXPECT_EQ(r.Status, 0u);
  EXPECT_EQ(r.DataSize, 37);
  EXPECT_EQ(r.Options.Ttl, 64);
  EXPECT_GE(r.ElapsedTime, 0.0);
  EXPECT_LT(r.ElapsedTime, 1.0);
  EXPECT_EQ(window_.do_events_calls, 1);
  EXPECT_EQ(ps::testing::EchoRequestsSent(), 1u);
}

TEST_P(PingHostNetnsTest, SilencedHostIsAbsent) {
  ps::testing::DropEchoRequestsTo("127.0.0.9");
  const PingResult r = PingHost(u"127.0.0.9");
  EXPECT_EQ(r.Present, 0);
  EXPECT_EQ(r.StatusText.View(), kFailedText);
  EXPECT_EQ(ps::testing::EchoRequestsSent(), 1u);
}

TEST_P(PingHostNetnsTest, TextsThatAreNoAddressSendNothing) {
  for (const char16_t* text : {u"255.255.255.255", u"garbage", u"127.0.0.256"}) {
    EXPECT_EQ(PingHost(text).Present, 0);
  }
  EXPECT_EQ(window_.do_events_calls, 3);
  EXPECT_EQ(ps::testing::EchoRequestsSent(), 0u);
  EXPECT_EQ(ps::testing::PacketsLeavingLoopback(), 0u);
}

TEST_P(PingHostNetnsTest, ResponderTimingAndData) {
  ScopedSysctl echo_off("net/ipv4/icmp_echo_ignore_all", "1");
  IcmpResponder responder;
  ASSERT_TRUE(responder.ok());
  responder.Answer("127.0.0.40", {3, std::nullopt, ""});
  responder.Answer("127.0.0.41", {15, std::nullopt, ""});
  responder.Answer("127.0.0.42", {0, "FAILED on purpose", ""});
  responder.Answer("127.0.0.43", {0, "failed", ""});

  // A few tries for the hosts that answer in time: the responder's thread may
  // be held up past the 10 ms wait on a busy machine.
  const auto present_within_tries = [](const char16_t* host) {
    int present = 0;
    for (int attempt = 0; attempt < 3 && present == 0; ++attempt) present = PingHost(host).Present;
    return present;
  };
  EXPECT_EQ(present_within_tries(u"127.0.0.40"), -1) << "3 ms";
  EXPECT_EQ(PingHost(u"127.0.0.41").Present, 0) << "15 ms";
  EXPECT_EQ(PingHost(u"127.0.0.41").Present, 0) << "the next probe after a late reply";
  EXPECT_EQ(PingHost(u"127.0.0.42").Present, 0) << "data starting FAILED";
  EXPECT_EQ(present_within_tries(u"127.0.0.43"), -1) << "data starting failed";
  EXPECT_EQ(PingHost(u"127.0.0.44").Present, 0) << "nobody there";
  EXPECT_TRUE(responder.WaitForReplies(responder.requests_seen(), 500));
}

INSTANTIATE_TEST_SUITE_P(BothSocketKinds, PingHostNetnsTest,
                         ::testing::Values(LinuxEchoService::SocketKind::kDatagram,
                                           LinuxEchoService::SocketKind::kRaw),
                         [](const auto& info) {
                           return info.param == LinuxEchoService::SocketKind::kDatagram ? "Datagram"
                                                                                        : "Raw";
                         });

TEST(ResolveHostNameNetnsTest, NamesFromTheHostsFile) {
  PS_REQUIRE_PRIVATE_NETWORK();
  ps::testing::ResetFirewall();
  ASSERT_TRUE(
      ps::testing::BindHostsFile("127.0.0.1 localhost\n"
                                 "127.0.0.20 alpha.example.test alpha\n"
                                 "127.0.0.21 b\xE9ta.test\n"));
  // A socket layer of its own, so "before start-up" holds whatever ran before.
  platform::LinuxSocketLayer sockets;
  platform::ScopedServices scope({&sockets, nullptr, nullptr, nullptr});
  EXPECT_EQ(ResolveHostName(u"127.0.0.20"), u"");
  ASSERT_TRUE(SocketInit());
  EXPECT_EQ(ResolveHostName(u"127.0.0.20"), u"alpha.example.test");
  EXPECT_EQ(ResolveHostName(u"127.0.0.21"), u"béta.test");
  EXPECT_EQ(ResolveHostName(u"127.0.0.1"), u"localhost");
  EXPECT_EQ(ResolveHostName(u"127.0.0.22"), u"");
  EXPECT_EQ(ResolveHostName(u"not an address"), u"");
  EXPECT_EQ(ps::testing::PacketsLeavingLoopback(), 0u);
  ps::testing::UnbindHostsFile();
}

}  // namespace
}  // namespace ps
