#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "platform/netapi/linux_net_services.h"

namespace ps::platform {
namespace {

IPAddr Dotted(unsigned a, unsigned b, unsigned c, unsigned d) {
  return htonl(a << 24 | b << 16 | c << 8 | d);
}

// The dotted forms through the socket layer the probe uses.
IPAddr Parse(const char* text) { return LinuxSocketLayer().inet_addr(text); }

struct Case {
  const char* text;
  IPAddr expected;
};

TEST(SocketLayerInetAddrTest, DottedFormsAndRejects) {
  const Case cases[] = {
      // Four parts, each decimal, octal or hex, mixed.
      {"192.168.1.7", Dotted(192, 168, 1, 7)},
      {"0.0.0.0", 0},
      {"0300.0250.01.07", Dotted(192, 168, 1, 7)},
      {"0xC0.0xa8.0X1.7", Dotted(192, 168, 1, 7)},
      {"0xc0.168.01.0x7", Dotted(192, 168, 1, 7)},
      // Three parts: the last fills 16 bits; two: 24 bits; one: 32 bits.
      {"10.0.5", Dotted(10, 0, 0, 5)},
      {"10.1.258", Dotted(10, 1, 1, 2)},
      {"10.1.65535", Dotted(10, 1, 255, 255)},
      {"10.65536", Dotted(10, 1, 0, 0)},
      {"10.16777215", Dotted(10, 255, 255, 255)},
      {"3232235777", Dotted(192, 168, 1, 1)},
      {"0x7f000001", Dotted(127, 0, 0, 1)},
      {"017700000001", Dotted(127, 0, 0, 1)},
      // White space after the last part ends the text.
      {"1.2.3.4 junk", Dotted(1, 2, 3, 4)},
      {"1.2.3.4\tx", Dotted(1, 2, 3, 4)},
      {"1.2.3.4\n", Dotted(1, 2, 3, 4)},
      // The broadcast address cannot be told from a failure.
      {"255.255.255.255", kInaddrNone},
      {"0xff.0xff.0xff.0xff", kInaddrNone},
      {"4294967295", kInaddrNone},
      // Not an address.
      {"", kInaddrNone},
      {" ", kInaddrNone},
      {" 1.2.3.4", kInaddrNone},
      {"+1.2.3.4", kInaddrNone},
      {"-1", kInaddrNone},
      {"1.2.3.4.", kInaddrNone},
      {"1.2.3.", kInaddrNone},
      {"1.2.3.4.5", kInaddrNone},
      {"1..2.3", kInaddrNone},
      {".1.2.3", kInaddrNone},
      {"1.2.3.256", kInaddrNone},
      {"256.1.2.3", kInaddrNone},
      {"1.2.65536", kInaddrNone},
      {"1.16777216", kInaddrNone},
      {"4294967296", kInaddrNone},
      {"99999999999999999999", kInaddrNone},
      {"08.1.1.1", kInaddrNone},
      {"1.2.3.09", kInaddrNone},
      {"0x", kInaddrNone},
      {"0x.1.2.3", kInaddrNone},
      {"0xg", kInaddrNone},
      {"1.2.3.4x", kInaddrNone},
      {"1,2,3,4", kInaddrNone},
      {"localhost", kInaddrNone},
      {"192.168.1.255.255", kInaddrNone},
      {"192.168.1.", kInaddrNone},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Parse(c.text), c.expected) << '"' << c.text << '"';
  }
  EXPECT_EQ(Parse(nullptr), kInaddrNone);
}

// glibc's inet_addr is the reference for every text: the only difference to
// the Windows function is " ", which Windows takes as 0.0.0.0 and glibc
// rejects.
TEST(SocketLayerInetAddrTest, AgreesWithGlibcOnRandomTexts) {
  const std::string alphabet = "0123456789..xXaAfFgG \t+-";
  std::mt19937 rng(20240312);
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  std::uniform_int_distribution<int> length(0, 20);
  for (int i = 0; i < 200000; ++i) {
    std::string text;
    for (int n = length(rng); n > 0; --n) text += alphabet[pick(rng)];
    ASSERT_EQ(Parse(text.c_str()), ::inet_addr(text.c_str())) << '"' << text << '"';
  }
}

TEST(SocketLayerInetAddrTest, AgreesWithGlibcOnNumericBoundaries) {
  const char* texts[] = {"0377.0377.0377.0376", "0xFF.0xFF.0xFFFF", "0xFFFFFFFE",
                         "037777777777",        "037777777776",     "1.0xFFFFFF",
                         "1.2.0xFFFF",          "1.2.0x10000",      "0x100.1.1.1",
                         "0400.1.1.1",          "00000000001.2.3.4"};
  for (const char* t : texts) EXPECT_EQ(Parse(t), ::inet_addr(t)) << t;
}

}  // namespace
}  // namespace ps::platform
