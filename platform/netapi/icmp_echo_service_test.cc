// The echo service over fake sockets and a fake clock: what each answer, error
// and failure writes into the window's record, what goes on the wire, and the
// socket that outlives the permission it was opened with.
#include "platform/netapi/icmp_echo_service.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "core/error.h"
#include "platform/inet/sweep_fakes.h"
#include "platform/netapi/echo_reply.h"

namespace ps::platform {
namespace {

using Buffer = std::array<std::uint8_t, 288>;
using Host = FakeIcmpSocket::Host;

constexpr char kRequest[] = "Ping from KORVEL Datatronics software";
constexpr std::uint8_t kUntouched = 0xA5;
constexpr std::int64_t kMs = 1000000;

IPAddr Addr(std::uint8_t last) {
  const std::uint8_t bytes[4] = {10, 0, 0, last};
  IPAddr a;
  std::memcpy(&a, bytes, 4);
  return a;
}
IpAddress Ip(std::uint8_t last) { return IpAddress::V4(0x0A000000u | last); }

Host Answering(std::int64_t delay_ns) {
  Host h;
  h.delay_ns = delay_ns;
  return h;
}
Host Silent() {
  Host h;
  h.answers = false;
  return h;
}

bool UntouchedFrom(const Buffer& b, std::size_t from) {
  for (std::size_t i = from; i < b.size(); ++i) {
    if (b[i] != kUntouched) return false;
  }
  return true;
}

struct Outcome {
  DWORD replies = 0;
  Buffer buffer{};
  EchoReplyHeader header;
  std::int64_t waited_ns = 0;
};

class SocketEchoServiceTest : public ::testing::Test {
 protected:
  SocketEchoServiceTest() {
    opener_.clock = &clock_;
    opener_.facts = {"100 200", 1000, "staff", false, "/usr/bin/pingsweep"};
  }

  FakeIcmpSocket& Socket() {
    if (opener_.last_opened == nullptr) {
      EXPECT_TRUE(echo_.OpenSocket());
    }
    return *opener_.last_opened;
  }

  // One probe as the window makes it: a fresh handle, TTL 255, the 37 bytes.
  Outcome Probe(std::uint8_t host,
                std::optional<IP_OPTION_INFORMATION> options = IP_OPTION_INFORMATION{255, 0, 0, 0,
                                                                                     0}) {
    Outcome o;
    o.buffer.fill(kUntouched);
    const IcmpHandle handle = echo_.IcmpCreateFile();
    EXPECT_NE(handle, 0) << ToUtf8(echo_.LastErrorText());
    const std::int64_t start = clock_.now_ns;
    o.replies = echo_.IcmpSendEcho(handle, Addr(host), kRequest, 37, options ? &*options : nullptr,
                                   o.buffer.data(), 288, 10);
    o.waited_ns = clock_.now_ns - start;
    o.header = DecodeEchoReplyHeader(o.buffer.data());
    EXPECT_TRUE(echo_.IcmpCloseHandle(handle));
    return o;
  }

  FakeMonotonicClock clock_;
  FakeIcmpOpener opener_;
  SocketEchoService echo_{opener_, clock_};
};

TEST_F(SocketEchoServiceTest, EachAnswerAndFailureAsTheRecordShowsIt) {
  struct Case {
    const char* what;
    Host host;
    DWORD replies, status;
    IPAddr address;
    std::int64_t waited_ns;
  };
  Host answers = Answering(3 * kMs);
  answers.ttl = 57;
  answers.tos = 0x28;
  answers.dont_fragment = true;
  const auto error = [](std::uint8_t type, std::uint8_t code) {
    Host h = Answering(2 * kMs);
    h.error_type = type;
    h.error_code = code;
    return h;
  };
  const auto send_error = [](int e) {
    Host h;
    h.send_error = e;
    return h;
  };
  const Case cases[] = {
      {"answers in 3 ms", answers, 1, IP_SUCCESS, Addr(1), 3 * kMs},
      {"answers at the deadline", Answering(10 * kMs), 0, IP_REQ_TIMED_OUT, 0, 10 * kMs},
      {"host unreachable", error(3, 1), 0, IP_DEST_HOST_UNREACHABLE, Addr(1), 2 * kMs},
      {"fragmentation needed", error(3, 4), 0, IP_PACKET_TOO_BIG, Addr(1), 2 * kMs},
      {"reassembly expired", error(11, 1), 0, IP_TTL_EXPIRED_REASSEM, Addr(1), 2 * kMs},
      {"send: network unreachable", send_error(ENETUNREACH), 0, IP_DEST_NET_UNREACHABLE, 0, 0},
      {"send: not allowed", send_error(EACCES), 0, IP_BAD_DESTINATION, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Socket().SetHost(Ip(1), c.host);
    const Outcome o = Probe(1);
    EXPECT_EQ(o.replies, c.replies);
    EXPECT_EQ(o.header.Status, c.status);
    EXPECT_EQ(o.header.Address, c.address);
    EXPECT_EQ(o.waited_ns, c.waited_ns);
    if (c.replies == 0) {
      EXPECT_TRUE(UntouchedFrom(o.buffer, 28));
    }
  }
  // The answer's header: round trip, data where the window reads it, and the
  // reply's TTL, TOS and DF bit.
  Socket().SetHost(Ip(1), answers);
  const Outcome o = Probe(1);
  EXPECT_EQ(o.header.RoundTripTime, 3u);
  EXPECT_EQ(o.header.DataSize, 37);
  EXPECT_EQ(o.header.Data, 28u);
  EXPECT_EQ(o.header.Options.Ttl, 57);
  EXPECT_EQ(o.header.Options.Tos, 0x28);
  EXPECT_EQ(o.header.Options.Flags, IP_FLAG_DF);
  EXPECT_EQ(o.header.Options.OptionsSize, 0);
  EXPECT_EQ(o.header.Options.OptionsData, 28u);
  EXPECT_EQ(std::string(o.buffer.begin() + 28, o.buffer.begin() + 65), kRequest);
  EXPECT_TRUE(UntouchedFrom(o.buffer, 65));
}

TEST_F(SocketEchoServiceTest, RequestsCarryTheCallersTtlAndTos) {
  Socket().SetHost(Ip(2), Silent());
  Probe(2);
  Probe(2, IP_OPTION_INFORMATION{0, 0x10, 0, 0, 0});  // TTL 0 asks for the default
  const auto& sent = Socket().sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].ttl, 255);
  EXPECT_EQ(sent[0].tos, 0);
  EXPECT_EQ(sent[0].data, std::vector<std::uint8_t>(kRequest, kRequest + 37));
  EXPECT_EQ(sent[1].ttl, 128);
  EXPECT_EQ(sent[1].tos, 0x10);
  EXPECT_NE(sent[0].sequence, sent[1].sequence);
}

TEST_F(SocketEchoServiceTest, OnlyItsOwnWholeTimelyReplyDecides) {
  Socket().SetHost(Ip(3), Silent());
  Probe(3);
  // Messages that arrive during the next probe, each wrong in one way.
  const std::uint16_t next = static_cast<std::uint16_t>(Socket().sent().back().sequence + 1);
  const auto reply = [&](std::int64_t after_ns) {
    IcmpMessage m;
    m.from = m.about = Ip(3);
    m.sequence = next;
    m.received_ns = clock_.now_ns + after_ns;
    m.data_size = 37;
    std::memcpy(m.data.data(), kRequest, 37);
    return m;
  };
  IcmpMessage stranger = reply(1 * kMs), old = reply(2 * kMs), cut = reply(3 * kMs);
  stranger.from = stranger.about = Ip(4);
  old.sequence = static_cast<std::uint16_t>(next - 1);
  cut.cut = true;
  IcmpMessage error_about_another = reply(4 * kMs);
  error_about_another.kind = IcmpMessage::Kind::kError;
  error_about_another.about = Ip(4);
  error_about_another.type = 3;
  for (const IcmpMessage& m : {stranger, old, cut, error_about_another}) Socket().Inject(m);
  Outcome o = Probe(3);
  EXPECT_EQ(o.replies, 0u);
  EXPECT_EQ(o.header.Status, IP_REQ_TIMED_OUT);
  EXPECT_TRUE(UntouchedFrom(o.buffer, 28));

  // The right reply with more data than the record holds.
  IcmpMessage big = reply(1 * kMs);
  big.sequence = static_cast<std::uint16_t>(next + 1);
  big.data_size = 261;
  Socket().Inject(big);
  o = Probe(3);
  EXPECT_EQ(o.replies, 0u);
  EXPECT_EQ(o.header.Status, IP_BUF_TOO_SMALL);
  EXPECT_TRUE(UntouchedFrom(o.buffer, 28));
}

TEST_F(SocketEchoServiceTest, SocketOpenedEarlyServesEveryHandleAfterThePermissionIsGone) {
  opener_.datagram_allowed = false;
  opener_.raw_allowed = true;
  ASSERT_TRUE(echo_.OpenSocket());
  FakeIcmpSocket* opened = opener_.last_opened;
  opener_.raw_allowed = false;  // the capability given up
  Socket().SetHost(Ip(5), Answering(1 * kMs));
  for (int i = 0; i < 3; ++i) {
    const IcmpHandle handle = echo_.IcmpCreateFile();
    ASSERT_NE(handle, 0);
    EXPECT_EQ(echo_.KindOf(handle), SocketEchoService::SocketKind::kRaw);
    EXPECT_TRUE(echo_.IcmpCloseHandle(handle));
    EXPECT_EQ(Probe(5).replies, 1u);
  }
  EXPECT_EQ(opener_.last_opened, opened);  // nothing opened since
  EXPECT_TRUE(echo_.OpenSocket());
}

TEST_F(SocketEchoServiceTest, NoPermissionNamesTheWidenedRangeUntilOneIsGiven) {
  opener_.datagram_allowed = false;
  EXPECT_FALSE(echo_.OpenSocket());
  EXPECT_EQ(echo_.IcmpCreateFile(), 0);
  const std::string text = ToUtf8(echo_.LastErrorText());
  EXPECT_EQ(text.rfind("ICMP echo requests cannot be sent: this user may open neither", 0), 0u)
      << text;
  EXPECT_NE(
      text.find("\n    echo 'net.ipv4.ping_group_range = 100 1000' | sudo tee /etc/sysctl.d/"),
      std::string::npos)
      << text;
  EXPECT_NE(text.find("\n    sudo setcap cap_net_raw+ep /usr/bin/pingsweep"), std::string::npos);
  EXPECT_EQ(text.find("1000 1000"), std::string::npos) << "locks out groups 100 to 200";

  opener_.datagram_allowed = true;  // the range widened meanwhile
  const IcmpHandle handle = echo_.IcmpCreateFile();
  EXPECT_NE(handle, 0);
  EXPECT_EQ(echo_.KindOf(handle), SocketEchoService::SocketKind::kDatagram);
  EXPECT_TRUE(echo_.LastErrorText().empty());
  EXPECT_EQ(echo_.KindOf(handle + 1), SocketEchoService::SocketKind::kNone);
  // Without OpenSocket() each handle has a socket of its own.
  const FakeIcmpSocket* first = opener_.last_opened;
  const IcmpHandle second = echo_.IcmpCreateFile();
  EXPECT_NE(opener_.last_opened, first);
  EXPECT_TRUE(echo_.IcmpCloseHandle(second));
  EXPECT_TRUE(echo_.IcmpCloseHandle(handle));
}

}  // namespace
}  // namespace ps::platform
