// Address text is parsed and written without the system's inet_pton/inet_ntop
// (so core stays free of network headers): it must agree with them exactly.
#include "core/ip_address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <string>
#include <vector>

namespace ps {
namespace {

std::optional<std::string> SystemParse(const std::string& text) {
  unsigned char bytes[16];
  char out[INET6_ADDRSTRLEN];
  if (inet_pton(AF_INET, text.c_str(), bytes) == 1)
    return inet_ntop(AF_INET, bytes, out, sizeof(out));
  if (inet_pton(AF_INET6, text.c_str(), bytes) == 1)
    return inet_ntop(AF_INET6, bytes, out, sizeof(out));
  return std::nullopt;
}

TEST(IpAddressTest, TextIsReadAndWrittenAsTheSystemDoes) {
  const char* texts[] = {
      "0.0.0.0", "10.0.0.1", "255.255.255.255", "256.1.1.1", "1.2.3", "1.2.3.4.5", "01.2.3.4",
      "1.2.3.04", "1..2.3", "1.2.3.4 ", " 1.2.3.4", "0x7f.0.0.1", "1.2.3.", "", "::", "::1",
      "1::", "1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7::", "::2:3:4:5:6:7:8",
      "1:2:3:4:5:6:7:8::", "::1:2:3:4:5:6:7:8", "1:::2", ":1::2", "1::2:", "12345::1",
      "fe80::1", "FE80::ABCD", "::ffff:1.2.3.4", "::1.2.3.4", "1:2:3:4:5:6:1.2.3.4",
      "1:2:3:4:5:6:7:1.2.3.4", "::ffff:1.2.3", "::ffff:01.2.3.4", "2001:db8::1:0:0:1",
      "2001:0:0:1::1", "0:0:0:0:0:0:0:0", "fd77:1::ff", "::ffff:0:0", "g::1", "1::2::3",
      "0000:0000:0000:0000:0000:0000:0000:0001", "00000::1", "::%eth0", "fe80::1%1"};
  for (const std::string text : texts) {
    const auto ours = IpAddress::Parse(text);
    const auto system = SystemParse(text);
    ASSERT_EQ(ours.has_value(), system.has_value()) << "'" << text << "'";
    if (ours) {
      EXPECT_EQ(ours->ToString(), *system) << "'" << text << "'";
    }
  }
}

TEST(IpAddressTest, EveryZeroPatternIsWrittenAsTheSystemWritesIt) {
  // Each of the 256 patterns of zero and non-zero groups, with random values:
  // covers the choice of "::", ties between runs, and the embedded IPv4 forms.
  std::mt19937 random(7);
  for (unsigned pattern = 0; pattern < 256; ++pattern) {
    for (int round = 0; round < 8; ++round) {
      std::array<std::uint8_t, 16> bytes{};
      for (int g = 0; g < 8; ++g) {
        if (!(pattern >> g & 1)) continue;
        const unsigned value = round == 0 ? 1 : round == 1 ? 0xffff : 1 + random() % 0xffff;
        bytes[2 * g] = static_cast<std::uint8_t>(value >> 8);
        bytes[2 * g + 1] = static_cast<std::uint8_t>(value);
      }
      char system[INET6_ADDRSTRLEN];
      inet_ntop(AF_INET6, bytes.data(), system, sizeof(system));
      const IpAddress a = IpAddress::V6(bytes);
      ASSERT_EQ(a.ToString(), system);
      ASSERT_EQ(IpAddress::Parse(system), a) << system;
    }
  }
}

TEST(IpAddressTest, EveryIpv4ByteIsWrittenAsTheSystemWritesIt) {
  // Each value in each position, beside a varying other byte.
  for (unsigned value = 0; value < 256; ++value) {
    for (int position = 0; position < 4; ++position) {
      const std::uint32_t other = (value * 37 + 11) & 0xFF;
      const std::uint32_t host = (other * 0x01010101u & ~(0xFFu << (8 * position))) |
                                 value << (8 * position);
      const std::uint32_t network = htonl(host);
      char system[INET_ADDRSTRLEN];
      inet_ntop(AF_INET, &network, system, sizeof(system));
      ASSERT_EQ(IpAddress::V4(host).ToString(), system);
    }
  }
}

// Ordered by family, then byte by byte (the network order): IPv4 before IPv6,
// numerically within each; equal exactly when family and bytes are.
TEST(IpAddressTest, OrderIsFamilyThenBytes) {
  std::mt19937_64 random(16);
  std::vector<IpAddress> all = {IpAddress::V4(0), IpAddress::V4(0xFFFFFFFF), IpAddress::V6({})};
  for (int i = 0; i < 400; ++i) {
    std::array<std::uint8_t, 16> b{};
    // Few distinct byte values and runs of equal leading bytes: many near ties.
    for (auto& byte : b) byte = static_cast<std::uint8_t>(random() % 3 == 0 ? 0xFF : random() % 3);
    all.push_back(i % 2 ? IpAddress::V6(b) : IpAddress::V4(static_cast<std::uint32_t>(random() % 8 << 29 | b[0])));
  }
  for (const IpAddress& a : all) {
    for (const IpAddress& b : all) {
      const bool less = a.family() != b.family()
                            ? a.is_v4()
                            : std::lexicographical_compare(a.data(), a.data() + 16, b.data(), b.data() + 16);
      const bool same = a.family() == b.family() && std::equal(a.data(), a.data() + 16, b.data());
      ASSERT_EQ(a < b, less) << a.ToString() << " " << b.ToString();
      ASSERT_EQ(a == b, same) << a.ToString() << " " << b.ToString();
      ASSERT_EQ((a <=> b) == 0, same);
    }
  }
}

// Every octet in every place, alone and at the end of an IPv4-mapped IPv6
// address, written as the system writes it, into a buffer of kMaxText.
TEST(IpAddressTest, EveryOctetWrittenAsTheSystemWritesIt) {
  for (unsigned v = 0; v < 256; ++v) {
    const std::uint8_t o = static_cast<std::uint8_t>(v);
    for (const std::array<std::uint8_t, 4> quad : {std::array<std::uint8_t, 4>{o, 0, 9, 10},
                                                    {99, o, 100, 255}, {1, 22, o, 1}, {255, 255, 255, o}}) {
      std::array<std::uint8_t, 16> mapped{};
      mapped[10] = mapped[11] = 0xFF;
      std::copy(quad.begin(), quad.end(), mapped.begin() + 12);
      for (const bool v6 : {false, true}) {
        const IpAddress a = v6 ? IpAddress::V6(mapped)
                               : IpAddress::FromNetworkBytes(IpAddress::Family::kV4, quad.data());
        char system[INET6_ADDRSTRLEN];
        ASSERT_NE(inet_ntop(v6 ? AF_INET6 : AF_INET, v6 ? mapped.data() : quad.data(), system,
                            sizeof(system)),
                  nullptr);
        char text[IpAddress::kMaxText];
        ASSERT_EQ(std::string(text, a.WriteText(text)), system);
      }
    }
  }
}

// Bytes as a socket or a routing message holds them give the same address
// as the system's own text for it.
TEST(IpAddressTest, NetworkBytesReadAsTheSystemReadsText) {
  for (const char* text : {"0.0.0.0", "10.1.2.3", "255.255.255.255", "::", "fe80::1", "2001:db8::ff00:42"}) {
    const bool v4 = std::string(text).find(':') == std::string::npos;
    unsigned char bytes[16] = {};
    ASSERT_EQ(inet_pton(v4 ? AF_INET : AF_INET6, text, bytes), 1) << text;
    const IpAddress a =
        IpAddress::FromNetworkBytes(v4 ? IpAddress::Family::kV4 : IpAddress::Family::kV6, bytes);
    EXPECT_EQ(a, *IpAddress::Parse(text)) << text;
  }
}

}  // namespace
}  // namespace ps
