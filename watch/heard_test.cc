#include "watch/heard.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace ps::watch {
namespace {

using Bytes = std::vector<std::uint8_t>;

const MacAddress kMac = *MacAddress::Parse("02:00:5e:10:00:01");
const MacAddress kOther = *MacAddress::Parse("02:00:5e:10:00:02");

void Put(Bytes& b, std::initializer_list<int> v) {
  for (int x : v) b.push_back(static_cast<std::uint8_t>(x));
}
void PutMac(Bytes& b, const MacAddress& m) { b.insert(b.end(), m.octets.begin(), m.octets.end()); }

Bytes Arp(int op, const MacAddress& sha, std::initializer_list<int> spa) {
  Bytes b;
  Put(b, {0, 1, 8, 0, 6, 4, 0, op});
  PutMac(b, sha);
  Put(b, spa);
  Put(b, {0, 0, 0, 0, 0, 0, 10, 0, 0, 1});
  return b;
}

// ICMPv6 `type` from fe80::1 (or ::), with hop limit `hops`, and `options`.
Bytes Icmp6(int type, int hops, bool unspecified_source, const Bytes& options) {
  const std::size_t fixed = type == 133 ? 8 : type == 134 ? 16 : 24;
  const std::size_t payload = fixed + options.size();
  Bytes b;
  Put(b,
      {0x60, 0, 0, 0, static_cast<int>(payload >> 8), static_cast<int>(payload & 0xff), 58, hops});
  if (unspecified_source)
    Put(b, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  else
    Put(b, {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
  Put(b, {0xff, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});  // destination
  Put(b, {type, 0, 0, 0});
  b.resize(b.size() + fixed - 4, 0);
  if (fixed == 24) {  // target fd00::7
    b[48] = 0xfd;
    b[63] = 7;
  }
  b.insert(b.end(), options.begin(), options.end());
  return b;
}

Bytes LinkOption(int type, const MacAddress& m) {
  Bytes b;
  Put(b, {type, 1});
  PutMac(b, m);
  return b;
}

// A DHCP request from 0.0.0.0:68 to 255.255.255.255:67 for `chaddr`, then
// `options` (no end option added).
Bytes Dhcp(const MacAddress& chaddr, const Bytes& options, int dport = 67) {
  Bytes bootp(240, 0);
  bootp[0] = 1;
  bootp[1] = 1;
  bootp[2] = 6;
  std::copy(chaddr.octets.begin(), chaddr.octets.end(), bootp.begin() + 28);
  bootp[236] = 99, bootp[237] = 130, bootp[238] = 83, bootp[239] = 99;
  bootp.insert(bootp.end(), options.begin(), options.end());
  const std::size_t total = 28 + bootp.size();
  Bytes b;
  Put(b, {0x45,
          0,
          static_cast<int>(total >> 8),
          static_cast<int>(total & 0xff),
          0,
          0,
          0,
          0,
          64,
          17,
          0,
          0,
          0,
          0,
          0,
          0,
          255,
          255,
          255,
          255});
  Put(b, {0, 68, dport >> 8, dport & 0xff, 0, 0, 0, 0});
  b.insert(b.end(), bootp.begin(), bootp.end());
  return b;
}

std::string Show(const std::optional<Observation>& o) {
  if (!o) return "-";
  std::string out = o->mac ? o->mac->ToString() : "?";
  out += ' ' + (o->address ? o->address->ToString() : std::string("none"));
  for (const NameBy& n : o->names) out += ' ' + n.source + '=' + n.name;
  return out;
}

struct Case {
  const char* what;
  std::uint16_t protocol;
  Bytes packet;
  std::string expected;
  MacAddress source = kMac;
};

TEST(WatchHeardTest, WhatEachPacketSays) {
  const Bytes dhcp_names = {12, 3, 'n', 'a', 's', 60, 4, 'A', 'c', 'm', 'e', 255};
  const Case cases[] = {
      {"ARP request", kEtherArp, Arp(1, kMac, {10, 0, 0, 9}), "02:00:5e:10:00:01 10.0.0.9"},
      {"ARP reply", kEtherArp, Arp(2, kMac, {10, 0, 0, 9}), "02:00:5e:10:00:01 10.0.0.9"},
      {"ARP probe holds no address yet", kEtherArp, Arp(1, kMac, {0, 0, 0, 0}),
       "02:00:5e:10:00:01 none"},
      {"ARP sender MAC not the frame's", kEtherArp, Arp(1, kOther, {10, 0, 0, 9}), "-"},
      {"ARP operation 3", kEtherArp, Arp(3, kMac, {10, 0, 0, 9}), "-"},
      {"ARP from a broadcast address", kEtherArp, Arp(2, kMac, {255, 255, 255, 255}), "-"},
      {"ARP from a loopback address", kEtherArp, Arp(2, kMac, {127, 0, 0, 1}), "-"},
      {"ARP from a group MAC", kEtherArp, Arp(1, kMac, {10, 0, 0, 9}), "-",
       *MacAddress::Parse("01:00:5e:00:00:01")},
      {"router solicitation", kEtherIpv6, Icmp6(133, 255, false, LinkOption(1, kMac)),
       "02:00:5e:10:00:01 fe80::1"},
      {"router advertisement", kEtherIpv6, Icmp6(134, 255, false, {}), "02:00:5e:10:00:01 fe80::1"},
      {"neighbour solicitation", kEtherIpv6, Icmp6(135, 255, false, LinkOption(1, kMac)),
       "02:00:5e:10:00:01 fe80::1"},
      {"duplicate address detection", kEtherIpv6, Icmp6(135, 255, true, {}),
       "02:00:5e:10:00:01 none"},
      {"neighbour advertisement: its target", kEtherIpv6,
       Icmp6(136, 255, false, LinkOption(2, kMac)), "02:00:5e:10:00:01 fd00::7"},
      {"routed (hop limit 64)", kEtherIpv6, Icmp6(135, 64, false, {}), "-"},
      {"link-layer option names another MAC", kEtherIpv6,
       Icmp6(136, 255, false, LinkOption(2, kOther)), "-"},
      {"option of length 0", kEtherIpv6, Icmp6(135, 255, false, {1, 0, 0, 0, 0, 0, 0, 0}), "-"},
      {"option past the end", kEtherIpv6, Icmp6(135, 255, false, {1, 2, 0, 0, 0, 0, 0, 0}), "-"},
      {"echo request", kEtherIpv6, Icmp6(128, 255, false, {}), "-"},
      {"DHCP request with names", kEtherIpv4, Dhcp(kMac, dhcp_names),
       "02:00:5e:10:00:01 none dhcp=nas dhcp-vendor-class=Acme"},
      {"DHCP with pads and no end", kEtherIpv4, Dhcp(kMac, {0, 0, 12, 1, 'x'}),
       "02:00:5e:10:00:01 none dhcp=x"},
      {"DHCP option longer than the packet", kEtherIpv4, Dhcp(kMac, {12, 200, 'x'}), "-"},
      {"DHCP relayed (chaddr not the frame's)", kEtherIpv4, Dhcp(kOther, dhcp_names), "-"},
      {"DHCP to port 68", kEtherIpv4, Dhcp(kMac, dhcp_names, 68), "-"},
      {"unknown protocol", 0x88cc, Arp(1, kMac, {10, 0, 0, 9}), "-"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Show(ParseHeard(c.source, c.protocol, c.packet)), c.expected) << c.what;
  }
}

// Names carry every byte (shown escaped later), shell metacharacters and all.
TEST(WatchHeardTest, DhcpNameKeepsItsBytes) {
  const std::string name = "$(reboot);`id`|\x1b[2J\n";
  Bytes options = {12, static_cast<std::uint8_t>(name.size())};
  options.insert(options.end(), name.begin(), name.end());
  const auto seen = ParseHeard(kMac, kEtherIpv4, Dhcp(kMac, options));
  ASSERT_TRUE(seen);
  ASSERT_EQ(seen->names.size(), 1u);
  EXPECT_EQ(seen->names[0].name, name);
}

// Every cut of a valid packet, and random bytes written over them, is read
// within its bounds (AddressSanitizer checks) and never names another MAC.
TEST(WatchHeardTest, CutAndForgedPacketsStayInBounds) {
  const Bytes valid[] = {Arp(2, kMac, {10, 0, 0, 9}), Icmp6(136, 255, false, LinkOption(2, kMac)),
                         Dhcp(kMac, {12, 3, 'n', 'a', 's', 255})};
  const std::uint16_t protocols[] = {kEtherArp, kEtherIpv6, kEtherIpv4};
  // Shorter than this says nothing; cut among its options, a packet may still.
  const std::size_t whole_header[] = {28, 64, 28 + 240};
  std::mt19937 random(7);
  for (std::size_t k = 0; k < std::size(valid); ++k) {
    for (std::size_t n = 0; n < valid[k].size(); ++n) {
      const Bytes cut(valid[k].begin(), valid[k].begin() + n);
      const auto seen = ParseHeard(kMac, protocols[k], cut);
      if (n < whole_header[k]) {
        EXPECT_FALSE(seen) << k << " cut at " << n;
      }
    }
    for (int round = 0; round < 2000; ++round) {
      Bytes forged = valid[k];
      forged.resize(random() % (forged.size() + 64));
      for (int i = 0; i < 4 && !forged.empty(); ++i) forged[random() % forged.size()] = random();
      const auto seen = ParseHeard(kMac, protocols[k], forged);
      if (seen) {
        EXPECT_EQ(*seen->mac, kMac);
      }
    }
  }
}

}  // namespace
}  // namespace ps::watch
