#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "platform/clock/monotonic_clock.h"
#include "platform/inet/udp_io.h"

namespace ps::platform {
namespace {

std::int64_t Soon(std::int64_t ms) { return SystemMonotonicClock().NowNs() + ms * 1'000'000; }

struct LoopbackCase {
  IpAddress::Family family;
  const char* loopback;
};

class UdpLoopbackTest : public ::testing::TestWithParam<LoopbackCase> {};

// An answer names its sender's address and port and the address it was sent
// to: what the name queries check before they believe one.
TEST_P(UdpLoopbackTest, AnswerCarriesBothEnds) {
  const IpAddress loopback = *IpAddress::Parse(GetParam().loopback);
  auto a = SystemUdpOpener()->Open({.family = GetParam().family});
  auto b = SystemUdpOpener()->Open({.family = GetParam().family});
  ASSERT_TRUE(a.ok() && b.ok());
  const std::vector<std::uint8_t> payload = {1, 2, 3, 4, 5};
  ASSERT_TRUE((*a)->SendTo(loopback, (*b)->local_port(), payload).ok());

  std::uint8_t buffer[3];
  UdpPeer peer;
  ASSERT_EQ((*b)->Receive(buffer, &peer, Soon(2000)), 3);  // truncated to the buffer
  EXPECT_EQ(peer.from, loopback);
  EXPECT_EQ(peer.from_port, (*a)->local_port());
  EXPECT_EQ(peer.to, loopback);
  EXPECT_NE(peer.interface_index, 0u);
  EXPECT_EQ(buffer[2], 3);
  EXPECT_EQ((*b)->Receive(buffer, &peer, Soon(20)), -ETIMEDOUT);
}

// A well-known port (5353) is shared with a daemon that holds it, never taken
// from it; a port held without sharing cannot be bound.
TEST_P(UdpLoopbackTest, SharedPortsBindTwiceUnsharedOnce) {
  auto first = SystemUdpOpener()->Open({.family = GetParam().family, .share_port = true});
  ASSERT_TRUE(first.ok());
  const std::uint16_t port = (*first)->local_port();
  EXPECT_TRUE(SystemUdpOpener()->Open({.family = GetParam().family, .port = port, .share_port = true}).ok());
  EXPECT_FALSE(SystemUdpOpener()->Open({.family = GetParam().family, .port = port}).ok());
}

INSTANTIATE_TEST_SUITE_P(Families, UdpLoopbackTest,
                         ::testing::Values(LoopbackCase{IpAddress::Family::kV4, "127.0.0.1"},
                                           LoopbackCase{IpAddress::Family::kV6, "::1"}));

}  // namespace
}  // namespace ps::platform
