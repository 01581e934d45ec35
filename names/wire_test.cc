// The name protocols' wire forms against what responders send and what an
// attacker might: every malformed case parses to nothing or to what came
// before the damage, never past the datagram.
#include <gtest/gtest.h>

#include <functional>

#include "names/dns_wire.h"
#include "names/host_info.h"
#include "names/netbios_wire.h"
#include "names/test_packets.h"

namespace ps::names {
namespace {

using testing::Answer;
using Bytes = std::vector<std::uint8_t>;

TEST(WireTest, ReverseNames) {
  const struct { const char* address; const char* reverse; } cases[] = {
      {"192.168.1.20", "20.1.168.192.in-addr.arpa"},
      {"10.0.0.255", "255.0.0.10.in-addr.arpa"},
      {"2001:db8::567:89ab",
       "b.a.9.8.7.6.5.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.ip6.arpa"},
  };
  for (const auto& c : cases) EXPECT_EQ(ReverseName(*IpAddress::Parse(c.address)), c.reverse);
}

TEST(WireTest, QueriesEncodeAndParseBack) {
  const std::vector<DnsQuestion> questions = {
      {"20.1.168.192.in-addr.arpa", kTypePtr, kClassIn | kUnicastResponse},
      {"_services._dns-sd._udp.local", kTypePtr, kClassIn}};
  const Bytes query = EncodeQuery(0xBEEF, questions);
  const auto m = ParseMessage(query);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->id, 0xBEEF);
  EXPECT_FALSE(m->is_response());
  EXPECT_EQ(m->questions, questions);  // the QU bit kept
  // Names a query cannot carry.
  for (const std::string& bad : {std::string(64, 'a') + ".local", std::string("a..local"),
                                std::string(".local"), std::string(200, 'a') + "." + std::string(60, 'b')}) {
    EXPECT_TRUE(EncodeQuery(1, std::vector<DnsQuestion>{{bad}}).empty()) << bad;
  }
}

// A response of one question and one PTR answer, then damaged per case.
Bytes Sample() {
  return testing::DnsResponse(7, {{"1.0.0.10.in-addr.arpa"}}, {{"1.0.0.10.in-addr.arpa", "host.local"}});
}

TEST(WireTest, HostileMessages) {
  const Bytes good = Sample();
  const std::size_t answer_at = 12 + 23 + 4;  // header, question name, type and class
  struct Case {
    const char* what;
    std::function<void(Bytes&)> damage;
    bool parses;
    std::size_t records;
  } cases[] = {
      {"intact", [](Bytes&) {}, true, 1},
      {"header cut", [](Bytes& b) { b.resize(11); }, false, 0},
      {"question cut", [](Bytes& b) { b.resize(20); }, false, 0},
      {"answer cut: kept what came before", [&](Bytes& b) { b.resize(answer_at + 5); }, true, 0},
      {"rdata past the end", [&](Bytes& b) { b.resize(b.size() - 3); }, true, 0},
      {"pointer to itself", [&](Bytes& b) { b[answer_at] = 0xC0; b[answer_at + 1] = static_cast<std::uint8_t>(answer_at); }, true, 0},
      {"pointer forwards", [&](Bytes& b) { b[12] = 0xC0; b[13] = 40; }, false, 0},
      {"reserved label bits", [&](Bytes& b) { b[12] = 0x41; }, false, 0},
      {"counts beyond the data", [](Bytes& b) { b[7] = 200; }, true, 1},
      {"questions beyond the data", [](Bytes& b) { b[5] = 200; }, false, 0},
  };
  for (const Case& c : cases) {
    Bytes b = good;
    c.damage(b);
    const auto m = ParseMessage(b);
    EXPECT_EQ(m.has_value(), c.parses) << c.what;
    if (m) {
      EXPECT_EQ(m->records.size(), c.records) << c.what;
    }
  }
}

// A record whose rdata is a chain of `pointers` pointers, each back to the
// one before (the first to "a"), then an A record named by the chain's end.
Bytes PointerChain(int pointers) {
  Bytes b = {0, 1, 0x84, 0, 0, 0, 0, 2, 0, 0, 0, 0, 1, 'a', 0, 0, 99, 0, 1, 0, 0, 0, 0};
  testing::Put16(b, static_cast<unsigned>(2 * pointers));
  for (int i = 0; i < pointers; ++i) {
    const std::size_t previous = i == 0 ? 12 : b.size() - 2;
    b.push_back(0xC0);
    b.push_back(static_cast<std::uint8_t>(previous));
  }
  b.insert(b.end(), {0xC0, static_cast<std::uint8_t>(b.size() - 2), 0, 1, 0, 1, 0, 0, 0, 0, 0, 4, 10, 0, 0, 1});
  return b;
}

TEST(WireTest, CompressionIsBounded) {
  // The A record's name takes one pointer more than the chain.
  for (const auto& [pointers, records] : {std::pair{kMaxPointers - 1, 2u}, std::pair{kMaxPointers, 1u}}) {
    const auto m = ParseMessage(PointerChain(pointers));
    ASSERT_TRUE(m);
    ASSERT_EQ(m->records.size(), records) << pointers;
    if (records == 2) {
      EXPECT_EQ(m->records[1].name, "a");
    }
  }

  // A name over 255 bytes, in labels of 63.
  Bytes longer = {0, 1, 0x84, 0, 0, 1, 0, 0, 0, 0, 0, 0};
  for (int i = 0; i < 5; ++i) {
    longer.push_back(63);
    longer.insert(longer.end(), 63, 'x');
  }
  longer.insert(longer.end(), {0, 0, 12, 0, 1});
  EXPECT_FALSE(ParseMessage(longer));
}

TEST(WireTest, NamesKeepTheirBytes) {
  // Bytes that are not UTF-8 stay for the output to escape; a dot inside a
  // label cannot pass for a label boundary.
  const Bytes b = testing::DnsResponse(1, {}, {{"x", std::string("caf\xE9\x01") + ".local"}});
  Bytes dotted = b;
  const auto m = ParseMessage(b);
  ASSERT_TRUE(m && m->records.size() == 1);
  EXPECT_EQ(m->records[0].target, "caf\xE9\x01.local");
  Bytes label = {0, 1, 0x84, 0, 0, 1, 0, 0, 0, 0, 0, 0, 3, '1', '.', '2', 0, 0, 12, 0, 1};
  const auto q = ParseMessage(label);
  ASSERT_TRUE(q);
  EXPECT_EQ(q->questions[0].name, "1\\.2");
  EXPECT_FALSE(SameName(q->questions[0].name, "1.2"));
  EXPECT_TRUE(SameName("Host.LOCAL", "host.local"));
}

TEST(WireTest, NodeStatus) {
  const Bytes query = EncodeNodeStatusQuery(0x1234);
  ASSERT_EQ(query.size(), 50u);
  EXPECT_EQ(std::string(query.begin() + 13, query.begin() + 17), "CKAA");  // "*" then zeros
  EXPECT_EQ(query[47], 0x21);                                              // NBSTAT

  const MacAddress mac{{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}};
  const Bytes good = testing::NodeStatusResponse(
      0x1234, {{"__MSBROWSE__", 0x01, true}, {"OFFICE", 0x00, true}, {"LASERJET", 0x00, false}, {"LASERJET", 0x20, false}}, mac);
  const auto status = ParseNodeStatus(good);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->id, 0x1234);
  EXPECT_EQ(status->machine(), "LASERJET");
  EXPECT_EQ(status->workgroup(), "OFFICE");
  EXPECT_EQ(status->mac, mac);
  EXPECT_FALSE(ParseNodeStatus(testing::NodeStatusResponse(1, {{"A"}}, MacAddress{}))->mac);

  struct Case { const char* what; std::function<void(Bytes&)> damage; } bad[] = {
      {"a query", [](Bytes& b) { b[2] = 0; }},
      {"an error", [](Bytes& b) { b[3] = 3; }},
      {"another name", [](Bytes& b) { b[14] = 'B'; }},
      {"not NBSTAT", [](Bytes& b) { b[47] = 0x20; }},
      {"table cut", [](Bytes& b) { b.resize(57 + 18 * 2); }},
      {"count beyond the data", [](Bytes& b) { b[56] = 250; }},
      {"length short of the table", [](Bytes& b) { b[54] = 0; b[55] = 20; }},
  };
  for (const Case& c : bad) {
    Bytes b = good;
    c.damage(b);
    EXPECT_FALSE(ParseNodeStatus(b)) << c.what;
  }
}

TEST(WireTest, TextsAreBounded) {
  EXPECT_EQ(Bounded("abc", 2), "ab");
  EXPECT_EQ(Bounded("a\xC3\xA9", 2), "a");        // é is not split
  EXPECT_EQ(Bounded("a\xC3\xA9", 3), "a\xC3\xA9");
  HostInfo info;
  for (int i = 0; i < 40; ++i) info.AddService("_s" + std::to_string(i) + "._tcp");
  info.AddService("_s1._tcp");
  EXPECT_EQ(info.services.size(), kMaxServices);
  EXPECT_TRUE(std::is_sorted(info.services.begin(), info.services.end()));
}

}  // namespace
}  // namespace ps::names
