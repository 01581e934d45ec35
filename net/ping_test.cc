#include "net/ping.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <random>
#include <stdexcept>
#include <string>

#include "core/codepage.h"
#include "core/error.h"
#include "platform/netapi/net_fakes.h"

namespace ps {
namespace {

using platform::EchoScript;
using platform::FakeNet;
using platform::Ipv4;
using platform::SYSTEMTIME;

const std::u16string kFailedText = u"FAILED" + std::u16string(244, u' ');
const std::u16string kPresentText = u"Présent" + std::u16string(243, u' ');

class PingHostTest : public ::testing::Test {
 protected:
  FakeNet net_;
  platform::ScopedServices scope_{net_.services()};
};

TEST_F(PingHostTest, AnsweringHost) {
  net_.echo.Script(Ipv4(192, 168, 1, 7), EchoScript::Reply(4));
  int dispatches_before_send = -1;
  int clock_readings_before_send = -1;
  net_.echo.on_send = [&](const auto&) {
    dispatches_before_send = net_.window.do_events_calls;
    clock_readings_before_send = net_.clock.readings;
  };
  const PingResult r = PingHost(u"192.168.1.7");

  EXPECT_EQ(r.Present, -1);
  EXPECT_EQ(r.StatusText.View(), kPresentText);
  // The exact characters, whatever this file's encoding: é is E9 in the code page.
  EXPECT_EQ(ToCodePage(r.StatusText.View()).substr(0, 8), "Pr\xE9sent ");
  EXPECT_EQ(r.Address, Ipv4(192, 168, 1, 7));
  EXPECT_EQ(r.Status, 0u);
  EXPECT_EQ(r.RoundTripTime, 4u);
  EXPECT_EQ(r.DataSize, 37);
  EXPECT_EQ(r.Data, 28u);
  EXPECT_EQ(r.Options.Ttl, 64);
  EXPECT_DOUBLE_EQ(r.ElapsedTime, 0.004);

  ASSERT_EQ(net_.echo.sends.size(), 1u);
  const auto& send = net_.echo.sends[0];
  EXPECT_EQ(send.destination, Ipv4(192, 168, 1, 7));
  EXPECT_EQ(send.request, "Ping from KORVEL Datatronics software");
  ASSERT_TRUE(send.has_options);
  EXPECT_EQ(send.options.Ttl, 255);
  EXPECT_EQ(send.options.Tos, 0);
  EXPECT_EQ(send.options.Flags, 0);
  EXPECT_EQ(send.options.OptionsSize, 0);
  EXPECT_EQ(send.options.OptionsData, 0u);
  EXPECT_EQ(send.reply_size, 288u);
  EXPECT_EQ(send.timeout, 10u);
  // One dispatch, then the first clock reading, then the send.
  EXPECT_EQ(dispatches_before_send, 1);
  EXPECT_EQ(clock_readings_before_send, 1);
  EXPECT_EQ(net_.clock.readings, 2);
  EXPECT_EQ(net_.window.do_events_calls, 1);
  EXPECT_EQ(net_.sockets.requested_versions, std::vector<platform::WORD>{0x0101});
  EXPECT_EQ(net_.echo.creates, 1);
  EXPECT_TRUE(net_.echo.open_handles().empty());
  EXPECT_TRUE(net_.window.boxes.empty());
}

TEST_F(PingHostTest, PresenceDecidedByTheFirstSixCharactersOnly) {
  struct Case {
    EchoScript script;
    bool present;
  };
  const Case cases[] = {
      {EchoScript::ReplyWith("FAILED"), false},
      {EchoScript::ReplyWith("FAILED and more"), false},
      {EchoScript::ReplyWith("failed"), true},
      {EchoScript::ReplyWith("FAILE"), false},  // overwrites only "FAILE" of "FAILED"
      {EchoScript::ReplyWith("FAILx"), true},
      {EchoScript::ReplyWith(" FAILED"), true},
      {EchoScript::ReplyWith(""), false},  // a reply without data leaves "FAILED"
      {EchoScript::ReplyWith(std::string(260, 'x')), true},
      {EchoScript::Reply(9), true},
      {EchoScript::Reply(10), false},  // as long as the time-out: too late
      {EchoScript::Silent(), false},
      {EchoScript::Error(platform::IP_DEST_HOST_UNREACHABLE), false},
  };
  int i = 0;
  for (const Case& c : cases) {
    net_.echo.Script(Ipv4(10, 0, 0, 1), c.script);
    const PingResult r = PingHost(u"10.0.0.1");
    EXPECT_EQ(r.Present, c.present ? -1 : 0) << "case " << i;
    if (!c.present) {
      EXPECT_EQ(r.StatusText.View().substr(0, 6), u"FAILED") << "case " << i;
    }
    ++i;
  }
  EXPECT_EQ(net_.echo.sends.size(), std::size(cases));
}

TEST_F(PingHostTest, SilentHostIsAbsentAfterTheWait) {
  const PingResult r = PingHost(u"10.0.0.2");
  EXPECT_EQ(r.Present, 0);
  EXPECT_EQ(r.StatusText.View(), kFailedText);
  EXPECT_EQ(r.Status, platform::IP_REQ_TIMED_OUT);
  EXPECT_DOUBLE_EQ(r.ElapsedTime, 0.010);
  EXPECT_TRUE(net_.echo.open_handles().empty());
}

TEST_F(PingHostTest, TextsThatAreNoAddressSendNothing) {
  using std::string_literals::operator""s;
  // The platform's parser takes a prefix before a blank or a NUL; the whole
  // text must be the address.
  net_.echo.Script(Ipv4(127, 0, 0, 1), EchoScript::Reply());
  net_.echo.Script(Ipv4(192, 168, 0, 1), EchoScript::Reply());
  for (const std::u16string& text :
       {u"255.255.255.255"s, u"0xff.0xff.0xff.0xff"s, u"4294967295"s, u"nonsense"s, u""s, u" "s,
        u"192.168.1.256"s, u"1.2.3.4.5"s, u"192.168.1."s, u"127.0.0.1 "s, u"127.0.0.1\t"s,
        u"127.0.0.1\n"s, u"127.0.0.1\r"s, u"127.0.0.1\0"s, u"127.0.0.1\0.5"s, u"127.0.0.1 junk"s,
        u"192.168.1 "s, u"127.0.0.1\u00A0"s, u"127.0.0.1\u3000"s, u"127.0.0.1é"s}) {
    net_.echo.Script(platform::kInaddrNone, EchoScript::Reply());
    const int dispatches = net_.window.do_events_calls;
    const PingResult r = PingHost(text);
    EXPECT_EQ(r.Present, 0) << ToUtf8(text);
    EXPECT_EQ(r.StatusText.View(), kFailedText);
    EXPECT_EQ(r.ElapsedTime, 0.0);
    EXPECT_EQ(r.ToImage(), PingResult().ToImage());  // header 0 as well
    EXPECT_EQ(net_.window.do_events_calls, dispatches + 1) << "window not served";
  }
  EXPECT_TRUE(net_.echo.sends.empty());
  EXPECT_EQ(net_.clock.readings, 0);
  EXPECT_TRUE(net_.echo.open_handles().empty());
  // The text reached inet_addr in the code page.
  EXPECT_EQ(net_.sockets.inet_addr_texts.back(), "127.0.0.1\xE9");
}

TEST_F(PingHostTest, ShorterHexAndOctalFormsAreProbed) {
  net_.echo.Script(Ipv4(10, 0, 0, 5), EchoScript::Reply());
  const char16_t* texts[] = {u"10.0.5", u"10.5", u"167772165", u"0x0A.0.0.05", u"012.0X0.0.0x5",
                             u"0xa000005"};
  for (const char16_t* text : texts) EXPECT_EQ(PingHost(text).Present, -1) << ToUtf8(text);
  ASSERT_EQ(net_.echo.sends.size(), std::size(texts));
  for (const auto& send : net_.echo.sends) EXPECT_EQ(send.destination, Ipv4(10, 0, 0, 5));
}

TEST_F(PingHostTest, SocketStartUpFailureShowsTheBoxEachTime) {
  net_.sockets.set_startup_result(10091);
  for (int i = 1; i <= 2; ++i) {
    ProbeNotice notice;
    const PingResult r = PingHost(u"10.0.0.1", &notice);
    EXPECT_EQ(r.Present, 0);
    EXPECT_EQ(r.ElapsedTime, 0.0);
    EXPECT_EQ(r.ToImage(), PingResult().ToImage());
    ASSERT_EQ(net_.window.boxes.size(), static_cast<std::size_t>(i));
    EXPECT_EQ(net_.window.boxes.back().text, u"Socket init : Winsock.dll ne répond pas");
    EXPECT_EQ(ToCodePage(net_.window.boxes.back().text),
              "Socket init : Winsock.dll ne r\xE9pond pas");
    EXPECT_EQ(net_.window.boxes.back().type, 64u);
    EXPECT_FALSE(notice.echo_service_unavailable);
  }
  EXPECT_EQ(net_.echo.creates, 0);
  EXPECT_TRUE(net_.echo.sends.empty());
  EXPECT_EQ(net_.window.do_events_calls, 0);
  EXPECT_FALSE(SocketInit());
}

TEST_F(PingHostTest, UnavailableEchoServiceIsReported) {
  net_.echo.SetUnavailable(u"allow the group in net.ipv4.ping_group_range or grant CAP_NET_RAW");
  ProbeNotice notice;
  const PingResult r = PingHost(u"10.0.0.1", &notice);
  EXPECT_EQ(r.Present, 0);
  EXPECT_EQ(r.ElapsedTime, 0.0);
  EXPECT_TRUE(notice.echo_service_unavailable);
  EXPECT_EQ(notice.message, u"allow the group in net.ipv4.ping_group_range or grant CAP_NET_RAW");
  EXPECT_TRUE(net_.echo.sends.empty());
  EXPECT_EQ(net_.echo.closes, 0);
  EXPECT_TRUE(net_.window.boxes.empty());
  EXPECT_EQ(PingHost(u"10.0.0.1").Present, 0);  // no notice asked for: fine too

  net_.echo.SetAvailable();
  ProbeNotice fine;
  PingHost(u"10.0.0.1", &fine);
  EXPECT_FALSE(fine.echo_service_unavailable);
  EXPECT_TRUE(fine.message.empty());
}

TEST_F(PingHostTest, ProbeStartedDuringTheDispatchLeavesTheOuterOneAlone) {
  net_.echo.Script(Ipv4(10, 0, 0, 1), EchoScript::Reply(2));
  PingResult inner;
  bool nested = false;
  net_.window.on_do_events = [&] {
    if (nested) return;
    nested = true;
    inner = PingHost(u"10.0.0.2");  // silent
  };
  const PingResult outer = PingHost(u"10.0.0.1");
  EXPECT_EQ(outer.Present, -1);
  EXPECT_EQ(outer.Address, Ipv4(10, 0, 0, 1));
  EXPECT_DOUBLE_EQ(outer.ElapsedTime, 0.002);
  EXPECT_EQ(inner.Present, 0);
  ASSERT_EQ(net_.echo.sends.size(), 2u);
  EXPECT_NE(net_.echo.sends[0].handle, net_.echo.sends[1].handle);
  EXPECT_TRUE(net_.echo.open_handles().empty());
}

TEST_F(PingHostTest, HandleIsReleasedWhenTheDispatchThrows) {
  net_.window.on_do_events = [] { throw std::runtime_error("handler failed"); };
  EXPECT_THROW(PingHost(u"10.0.0.1"), std::runtime_error);
  EXPECT_EQ(net_.echo.creates, 1);
  EXPECT_TRUE(net_.echo.open_handles().empty());
  EXPECT_TRUE(net_.echo.sends.empty());
}

TEST_F(PingHostTest, CallersTextIsUnchanged) {
  const std::u16string text = u"10.0.0.1";
  std::u16string copy = text;
  PingHost(copy);
  ResolveHostName(copy);
  EXPECT_EQ(copy, text);
}

class ResolveHostNameTest : public PingHostTest {};

TEST_F(ResolveHostNameTest, NamesAfterStartUpTrimmedOfBlanksOnly) {
  using std::string_literals::operator""s;
  net_.sockets.AddName(Ipv4(10, 0, 0, 1), "  alpha.example  ");
  net_.sockets.AddName(Ipv4(10, 0, 0, 2), "\tbravo \t");
  net_.sockets.AddName(Ipv4(10, 0, 0, 3), "caf\xE9");
  net_.sockets.AddName(Ipv4(10, 0, 0, 4), std::string(254, 'n') + "xyz");
  net_.sockets.AddName(Ipv4(10, 0, 0, 5), "   ");
  net_.sockets.AddName(Ipv4(10, 0, 0, 6), std::string("two\0parts", 9));

  EXPECT_EQ(ResolveHostName(u"10.0.0.1"), u"") << "answered before start-up";
  EXPECT_EQ(net_.sockets.wsastartup_calls, 0);
  ASSERT_TRUE(SocketInit());

  EXPECT_EQ(ResolveHostName(u"10.0.0.1"), u"alpha.example");
  EXPECT_EQ(ResolveHostName(u"10.0.0.2"), u"\tbravo \t");
  EXPECT_EQ(ResolveHostName(u"10.0.0.3"), u"café");
  EXPECT_EQ(ResolveHostName(u"10.0.0.4"), std::u16string(254, u'n') + u"x");
  EXPECT_EQ(ResolveHostName(u"10.0.0.5"), u"");
  EXPECT_EQ(ResolveHostName(u"10.0.0.6"), u"two");
  EXPECT_EQ(ResolveHostName(u"10.0.0.9"), u"");
  EXPECT_EQ(ResolveHostName(u"10.0.1"), u"alpha.example");
  EXPECT_EQ(ResolveHostName(u"no address"), u"");
  EXPECT_EQ(ResolveHostName(u"10.0.0.1 "), u"");
  EXPECT_EQ(ResolveHostName(u"10.0.0.1\0"s), u"");
  EXPECT_EQ(net_.sockets.looked_up.back(), platform::kInaddrNone);
  for (int len : net_.sockets.looked_up_lengths) EXPECT_EQ(len, 4);
  for (int type : net_.sockets.looked_up_types) EXPECT_EQ(type, 2);
  EXPECT_EQ(net_.sockets.wsastartup_calls, 1);  // the lookup starts nothing itself
}

SYSTEMTIME At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  return SYSTEMTIME{static_cast<platform::WORD>(y),
                    static_cast<platform::WORD>(mo),
                    0,
                    static_cast<platform::WORD>(d),
                    static_cast<platform::WORD>(h),
                    static_cast<platform::WORD>(mi),
                    static_cast<platform::WORD>(s),
                    static_cast<platform::WORD>(ms)};
}

TEST(TimeDiffTest, SecondsBetweenReadings) {
  struct Case {
    SYSTEMTIME a, b;
    double seconds;
  };
  const Case cases[] = {
      {At(2024, 3, 12, 10, 20, 30, 400), At(2024, 3, 12, 10, 20, 30, 400), 0},
      {At(2024, 3, 12, 10, 20, 30, 400), At(2024, 3, 12, 10, 20, 30, 410), 0.010},
      {At(2024, 3, 12, 10, 20, 30, 410), At(2024, 3, 12, 10, 20, 30, 400), -0.010},
      {At(2023, 12, 31, 23, 59, 59, 999), At(2024, 1, 1), 0.001},
      {At(2024, 2, 28), At(2024, 3, 1), 2 * 86400.0},
      {At(2023, 2, 28), At(2023, 3, 1), 86400.0},
      {At(1900, 2, 28), At(1900, 3, 1), 86400.0},
      {At(2000, 2, 28), At(2000, 3, 1), 2 * 86400.0},
      {At(1601, 1, 1), At(2001, 1, 1), 146097.0 * 86400},
      {At(2001, 1, 1), At(1601, 1, 1), -146097.0 * 86400},
  };
  for (const Case& c : cases) EXPECT_NEAR(TimeDiff(c.a, c.b), c.seconds, 1e-9) << c.seconds;
}

// The C library's calendar, from a count of seconds since 1970 (UTC).
std::tm Utc(std::time_t t) {
  std::tm out{};
#ifdef _WIN32
  // Windows' gmtime stops at 1970: the standard library's calendar stands in.
  using namespace std::chrono;
  const sys_seconds when{seconds{t}};
  const sys_days day = floor<days>(when);
  const year_month_day date{day};
  const hh_mm_ss<seconds> time{when - day};
  out.tm_year = static_cast<int>(date.year()) - 1900;
  out.tm_mon = static_cast<int>(static_cast<unsigned>(date.month())) - 1;
  out.tm_mday = static_cast<int>(static_cast<unsigned>(date.day()));
  out.tm_hour = static_cast<int>(time.hours().count());
  out.tm_min = static_cast<int>(time.minutes().count());
  out.tm_sec = static_cast<int>(time.seconds().count());
#else
  gmtime_r(&t, &out);
#endif
  return out;
}

TEST(TimeDiffTest, MatchesTheSystemCalendar) {
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<std::int64_t> when(-2208988800LL, 4102444800LL);  // 1900..2100
  for (int i = 0; i < 2000; ++i) {
    const std::time_t t1 = when(rng), t2 = when(rng);
    const std::tm a = Utc(t1), b = Utc(t2);
    const SYSTEMTIME s1 =
        At(a.tm_year + 1900, a.tm_mon + 1, a.tm_mday, a.tm_hour, a.tm_min, a.tm_sec, 123);
    const SYSTEMTIME s2 =
        At(b.tm_year + 1900, b.tm_mon + 1, b.tm_mday, b.tm_hour, b.tm_min, b.tm_sec, 456);
    ASSERT_NEAR(TimeDiff(s1, s2), static_cast<double>(t2 - t1) + 0.333, 1e-6) << t1 << " " << t2;
  }
}

TEST(TimeDiffTest, AnyFieldValuesGiveAFiniteNumber) {
  const SYSTEMTIME extremes[] = {
      At(0, 0, 0),
      At(65535, 65535, 65535, 65535, 65535, 65535, 65535),
      At(30827, 12, 31, 23, 59, 59, 999),
      At(1601, 1, 1),
      At(2024, 13, 1),
      At(2024, 0, 1),
  };
  for (const auto& a : extremes) {
    for (const auto& b : extremes) {
      const double d = TimeDiff(a, b);
      EXPECT_TRUE(std::isfinite(d));
      EXPECT_EQ(d, -TimeDiff(b, a));
    }
  }
  // Out-of-range months roll over into the next year.
  EXPECT_EQ(TimeDiff(At(2024, 13, 1), At(2025, 1, 1)), 0.0);
  EXPECT_EQ(TimeDiff(At(2024, 0, 1), At(2023, 12, 1)), 0.0);
}

}  // namespace
}  // namespace ps
