// The Windows services against the system (Wine under ./test.sh windows),
// inside the private network namespace the script makes: 127.0.0.1 answers,
// and PINGSWEEP_SILENT_HOST names an address that never does.
#include "core/codepage.h"
#include "core/error.h"
#include "net/ping.h"
#include "platform/netapi/echo_reply.h"
#include "platform/netapi/windows_net_services.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

// The system's own, for the record it writes; after the seam's names.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <icmpapi.h>

namespace ps::platform {
namespace {

using Buffer = std::array<std::uint8_t, 288>;
constexpr std::uint8_t kUntouched = 0xA5;
constexpr char kData[] = "Ping from KORVEL Datatronics software";

IPAddr Loopback() { return htonl(0x7F000001); }

// The silent host the script set up, or 0 when there is none.
IPAddr SilentHost() {
  const char* text = std::getenv("PINGSWEEP_SILENT_HOST");
  return text != nullptr ? ::inet_addr(text) : 0;
}

bool UntouchedFrom(const Buffer& b, std::size_t from) {
  for (std::size_t i = from; i < b.size(); ++i)
    if (b[i] != kUntouched) return false;
  return true;
}

// One probe as the window makes it: TTL 255, the 37 bytes, 288-byte record, 10 ms.
DWORD Probe(IPAddr to, Buffer* b, DWORD timeout = 10) {
  WindowsEchoService echo;
  const IcmpHandle h = echo.IcmpCreateFile();
  EXPECT_NE(h, 0) << ps::ToUtf8(echo.LastErrorText());
  b->fill(kUntouched);
  IP_OPTION_INFORMATION options{};
  options.Ttl = 255;
  const DWORD n = echo.IcmpSendEcho(h, to, kData, 37, &options, b->data(), 288, timeout);
  EXPECT_TRUE(echo.IcmpCloseHandle(h));
  return n;
}

TEST(WindowsSocketLayerTest, StartUpAndDottedForms) {
  WindowsSocketLayer sockets;
  WSADATA data{};
  ASSERT_EQ(sockets.WSAStartup(0x0101, &data), 0);
  EXPECT_EQ(data.wVersion, 0x0101);
  const struct {
    const char* text;
    std::uint32_t host_order;
  } cases[] = {
      {"192.168.1.7", 0xC0A80107}, {"10.0.5", 0x0A000005},      {"0x7f.1", 0x7F000001},
      {"0300.0250.01.07", 0xC0A80107}, {"1.2.3.4 junk", 0x01020304}, {"256.1.1.1", 0xFFFFFFFF},
      {"", 0xFFFFFFFF},            {"1.2.3.", 0xFFFFFFFF},   {" ", 0},  // glibc: INADDR_NONE
  };
  for (const auto& c : cases) EXPECT_EQ(ntohl(sockets.inet_addr(c.text)), c.host_order) << c.text;
  const IPAddr loopback = Loopback();
  const HOSTENT* entry = sockets.gethostbyaddr(reinterpret_cast<const char*>(&loopback), 4, 2);
  ASSERT_NE(entry, nullptr);
  EXPECT_STRNE(entry->h_name, "");
}

TEST(WindowsEchoServiceTest, ReplyIsMappedIntoThe28ByteLayout) {
  Buffer b;
  ASSERT_EQ(Probe(Loopback(), &b, 1000), 1u);
  const EchoReplyHeader h = DecodeEchoReplyHeader(b.data());
  EXPECT_EQ(h.Address, Loopback());
  EXPECT_EQ(h.Status, 0u);
  EXPECT_EQ(h.DataSize, 37);
  EXPECT_EQ(h.Data, 28u);
  EXPECT_NE(h.Options.Ttl, 0);
  EXPECT_EQ(std::memcmp(b.data() + 28, kData, 37), 0);
  EXPECT_TRUE(UntouchedFrom(b, 28 + 37));
}

// The reason for the mapping: the system's 64-bit record is 40 bytes and is
// written even when no reply comes, over what follows the 28-byte layout.
TEST(WindowsEchoServiceTest, SilentHostLeavesEverythingFromByte28) {
  const IPAddr silent = SilentHost();
  if (silent == 0) GTEST_SKIP() << "no PINGSWEEP_SILENT_HOST (run by ./test.sh windows)";
  Buffer b;
  EXPECT_EQ(Probe(silent, &b), 0u);
  EXPECT_EQ(DecodeEchoReplyHeader(b.data()).Status, 11010u);  // IP_REQ_TIMED_OUT
  EXPECT_TRUE(UntouchedFrom(b, 28));

  static_assert(sizeof(ICMP_ECHO_REPLY) == 40);
  const HANDLE h = ::IcmpCreateFile();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  b.fill(kUntouched);
  char data[] = "Ping from KORVEL Datatronics software";
  EXPECT_EQ(::IcmpSendEcho(h, silent, data, 37, nullptr, b.data(), 288, 10), 0u);
  ::IcmpCloseHandle(h);
  EXPECT_FALSE(UntouchedFrom(b, 28)) << "the system's record stops at byte 28";
}

TEST(WindowsPingHostTest, AnsweringHostIsPresentSilentOneAbsent) {
  const PingResult answered = PingHost(u"127.0.0.1");
  EXPECT_EQ(answered.Present, -1);
  EXPECT_EQ(answered.StatusText.View().substr(0, 7), u"Présent");
  if (SilentHost() == 0) GTEST_SKIP() << "no PINGSWEEP_SILENT_HOST (run by ./test.sh windows)";
  in_addr a;
  a.s_addr = SilentHost();
  const PingResult silent = PingHost(FromCodePage(::inet_ntoa(a)));
  EXPECT_EQ(silent.Present, 0);
  EXPECT_EQ(silent.StatusText.View().substr(0, 6), u"FAILED");
  EXPECT_EQ(silent.Status, 11010u);
}

TEST(WindowsClockTest, SystemTimeIsUtcNow) {
  WindowsClock clock;
  platform::SYSTEMTIME t{};
  clock.GetSystemTime(&t);
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
  gmtime_s(&utc, &now);
  EXPECT_EQ(t.wYear, utc.tm_year + 1900);
  EXPECT_EQ(t.wMonth, utc.tm_mon + 1);
  EXPECT_EQ(t.wDay, utc.tm_mday);
  EXPECT_LT(std::abs((t.wHour * 60 + t.wMinute) - (utc.tm_hour * 60 + utc.tm_min)), 2);
}

}  // namespace
}  // namespace ps::platform
