#include "names/upnp/ssdp_search.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "testsupport/http_server.h"

namespace ps::names::upnp {
namespace {

using platform::UdpPeer;
using ps::testing::HttpServer;

IpAddress Ip(const char* text) { return *IpAddress::Parse(text); }

class FakeClock : public platform::MonotonicClock {
 public:
  std::int64_t NowNs() override { return now; }
  std::int64_t now = 1'000'000'000;
};

struct Sent {
  IpAddress to;
  std::uint16_t port;
  std::string payload;
  std::uint32_t interface_index;
};

struct Queued {
  std::string datagram;
  UdpPeer peer;
};

// A socket whose sends are recorded and whose datagrams are queued by the
// test; a Receive with nothing queued moves the clock to its deadline.
class FakeSocket : public platform::UdpSocket {
 public:
  FakeSocket(FakeClock* clock, std::vector<Sent>* sent, std::deque<Queued>* inbox)
      : clock_(clock), sent_(sent), inbox_(inbox) {}
  std::uint16_t local_port() const override { return 40000; }
  Status JoinGroup(const IpAddress&, std::uint32_t) override { return Status::Ok(); }
  Status SendTo(const IpAddress& to, std::uint16_t port, std::span<const std::uint8_t> payload,
                std::uint32_t interface_index) override {
    if (interface_index == 99) return Status::Failure("no such interface");
    sent_->push_back({to, port, std::string(payload.begin(), payload.end()), interface_index});
    return Status::Ok();
  }
  int Receive(std::span<std::uint8_t> buffer, UdpPeer* peer, std::int64_t deadline_ns) override {
    if (inbox_->empty() || inbox_->front().peer.received_ns > deadline_ns) {
      clock_->now = std::max(clock_->now, deadline_ns);
      return -ETIMEDOUT;
    }
    const Queued q = inbox_->front();
    inbox_->pop_front();
    clock_->now = std::max(clock_->now, q.peer.received_ns);
    const std::size_t n = std::min(buffer.size(), q.datagram.size());
    std::copy_n(q.datagram.begin(), n, buffer.begin());
    *peer = q.peer;
    return static_cast<int>(n);
  }

 private:
  FakeClock* clock_;
  std::vector<Sent>* sent_;
  std::deque<Queued>* inbox_;
};

class FakeOpener : public platform::UdpOpener {
 public:
  explicit FakeOpener(FakeClock* clock) : clock_(clock) {}
  Result<std::unique_ptr<platform::UdpSocket>> Open(const platform::UdpOptions& options) override {
    families.push_back(options.family);
    auto& inbox = options.family == IpAddress::Family::kV4 ? inbox4 : inbox6;
    return std::unique_ptr<platform::UdpSocket>(new FakeSocket(clock_, &sent, &inbox));
  }
  std::vector<IpAddress::Family> families;
  std::vector<Sent> sent;
  std::deque<Queued> inbox4, inbox6;

 private:
  FakeClock* clock_;
};

std::string Answer(const std::string& location, const std::string& st = "upnp:rootdevice") {
  return "HTTP/1.1 200 OK\r\nST: " + st + "\r\nUSN: uuid:x\r\nSERVER: Box/1.0\r\nLOCATION: " + location +
         "\r\n\r\n";
}

constexpr std::int64_t kDeadline = 3'000'000'000;

struct SearchFixture : ::testing::Test {
  SearchFixture() : opener(&clock) {}
  void StartOn(std::vector<SsdpLink> links) {
    ASSERT_TRUE(search.Start(links, 1, kDeadline).ok());
  }
  UdpPeer From(const char* from, std::uint32_t index = 2, const char* to = "10.0.0.1") {
    return {.from = Ip(from), .from_port = 1900, .to = Ip(to), .interface_index = index,
            .received_ns = 2'000'000'000};
  }
  bool Offer(const std::string& datagram, const UdpPeer& peer,
             IpAddress::Family family = IpAddress::Family::kV4) {
    return search.Offer({reinterpret_cast<const std::uint8_t*>(datagram.data()), datagram.size()}, peer, family);
  }

  FakeClock clock;
  FakeOpener opener;
  std::set<IpAddress> targets = {Ip("10.0.0.5"), Ip("10.0.0.6"), Ip("fe80::5")};
  SsdpSearch search{&opener, &clock, [this](const IpAddress& a) { return targets.count(a) != 0; }};
};

// One M-SEARCH per (interface, family), on one socket per family, to the
// family's group and port 1900; an interface that fails is skipped.
TEST_F(SearchFixture, SearchesEachLinkOnce) {
  StartOn({{2, IpAddress::Family::kV4}, {3, IpAddress::Family::kV4}, {2, IpAddress::Family::kV4},
           {2, IpAddress::Family::kV6}, {99, IpAddress::Family::kV4}});
  EXPECT_EQ(opener.families.size(), 2u);
  ASSERT_EQ(opener.sent.size(), 3u);
  const std::vector<std::pair<const char*, std::uint32_t>> want = {
      {"239.255.255.250", 2}, {"239.255.255.250", 3}, {"ff02::c", 2}};
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(opener.sent[i].to, Ip(want[i].first));
    EXPECT_EQ(opener.sent[i].port, 1900);
    EXPECT_EQ(opener.sent[i].interface_index, want[i].second);
    EXPECT_EQ(opener.sent[i].payload.rfind("M-SEARCH * HTTP/1.1\r\n", 0), 0u);
  }
  SsdpSearch nothing(&opener, &clock, [](const IpAddress&) { return true; });
  const std::vector<SsdpLink> broken = {{99, IpAddress::Family::kV4}};
  EXPECT_FALSE(nothing.Start(broken, 1, kDeadline).ok());
}

struct TrustCase {
  const char* name;
  std::string datagram;
  UdpPeer peer;
  IpAddress::Family family;
  std::size_t SsdpCounts::*counter;
};

// A forged or stray answer changes nothing: each is dropped and counted.
TEST_F(SearchFixture, KeepsOnlyAnswersToOurSearchFromTheHostTheyName) {
  StartOn({{2, IpAddress::Family::kV4}, {2, IpAddress::Family::kV6}});
  const std::string good = Answer("http://10.0.0.5:8200/rootDesc.xml");
  UdpPeer late = From("10.0.0.5");
  late.received_ns = kDeadline + 1;
  const auto v4 = IpAddress::Family::kV4;
  const std::vector<TrustCase> cases = {
      {"another interface", good, From("10.0.0.5", 3), v4, &SsdpCounts::not_ours},
      {"sent to the group", good, From("10.0.0.5", 2, "239.255.255.250"), v4, &SsdpCounts::not_ours},
      {"late", good, late, v4, &SsdpCounts::not_ours},
      {"v4 on the v6 socket", good, From("10.0.0.5"), IpAddress::Family::kV6, &SsdpCounts::not_ours},
      {"not a target", Answer("http://10.0.0.9/d"), From("10.0.0.9"), v4, &SsdpCounts::not_target},
      {"a NOTIFY", "NOTIFY * HTTP/1.1\r\nLOCATION: http://10.0.0.5/d\r\nNT: x\r\n\r\n", From("10.0.0.5"), v4,
       &SsdpCounts::malformed},
      {"location elsewhere", Answer("http://10.0.0.6/d"), From("10.0.0.5"), v4, &SsdpCounts::foreign_location},
      {"location by name", Answer("http://tv.local/d"), From("10.0.0.5"), v4, &SsdpCounts::foreign_location},
      {"userinfo trick", Answer("http://10.0.0.5@10.0.0.6/d"), From("10.0.0.5"), v4,
       &SsdpCounts::foreign_location},
  };
  for (const TrustCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t before = search.counts().*c.counter;
    EXPECT_FALSE(Offer(c.datagram, c.peer, c.family));
    EXPECT_EQ(search.counts().*c.counter, before + 1);
  }
  EXPECT_TRUE(search.answers().empty());

  // The host's own answers count: distinct locations, root devices' first,
  // at most kMaxLocationsPerHost of them.
  EXPECT_TRUE(Offer(Answer("http://10.0.0.5:1/a", "urn:x:service:Y:1"), From("10.0.0.5")));
  EXPECT_TRUE(Offer(Answer("http://10.0.0.5:2/b", "urn:x:service:Z:1"), From("10.0.0.5")));
  EXPECT_TRUE(Offer(good, From("10.0.0.5")));
  EXPECT_FALSE(Offer(good, From("10.0.0.5")));
  EXPECT_TRUE(Offer(Answer("http://10.0.0.5:3/c", "urn:x:service:Z:1"), From("10.0.0.5")));
  EXPECT_FALSE(Offer(Answer("http://10.0.0.5:4/d", "urn:x:service:Z:1"), From("10.0.0.5")));
  EXPECT_TRUE(Offer(Answer("http://[fe80::5]:8200/d"), From("fe80::5", 2, "fe80::1"), IpAddress::Family::kV6));
  ASSERT_EQ(search.answers().size(), 2u);
  const auto& kept = search.answers().at(Ip("10.0.0.5")).locations;
  ASSERT_EQ(kept.size(), kMaxLocationsPerHost);
  const std::vector<std::pair<std::uint16_t, const char*>> order = {
      {8200, "/rootDesc.xml"}, {1, "/a"}, {2, "/b"}, {3, "/c"}};
  for (std::size_t i = 0; i < order.size(); ++i) {
    EXPECT_EQ(kept[i].url.port, order[i].first);
    EXPECT_EQ(kept[i].url.target, order[i].second);
  }
  EXPECT_EQ(kept[0].server, "Box/1.0");
}

// Poll reads both families' sockets until the answer deadline and no
// further: an answer that arrives after it is never read.
TEST_F(SearchFixture, PollStopsAtTheAnswerDeadline) {
  StartOn({{2, IpAddress::Family::kV4}, {2, IpAddress::Family::kV6}});
  opener.inbox4.push_back({Answer("http://10.0.0.5/d"), From("10.0.0.5")});
  opener.inbox6.push_back({Answer("http://[fe80::5]/d"), From("fe80::5", 2, "fe80::1")});
  UdpPeer late = From("10.0.0.6");
  late.received_ns = kDeadline + 1'000'000;
  opener.inbox4.push_back({Answer("http://10.0.0.6/d"), late});
  search.Poll(kDeadline + 5'000'000'000);
  EXPECT_EQ(search.answers().size(), 2u);
  EXPECT_EQ(search.answers().count(Ip("10.0.0.6")), 0u);
  EXPECT_EQ(opener.inbox4.size(), 1u);
}

const std::string kDescription =
    "<?xml version=\"1.0\"?><root xmlns=\"urn:schemas-upnp-org:device-1-0\"><device><deviceType>urn:schemas-"
    "upnp-org:device:MediaRenderer:1</deviceType><friendlyName>Kitchen TV</friendlyName><manufacturer>ACME"
    "</manufacturer><modelName>TV-9</modelName></device></root>";

// Descriptions are fetched, at once, only for the hosts asked about, from
// each one's own address; a failed, oversized or broken one names nothing.
TEST_F(SearchFixture, DescribesTheHostsAskedAbout) {
  HttpServer one("127.0.0.1"), two("127.0.0.2"), three("127.0.0.3"), four("127.0.0.4");
  ASSERT_TRUE(one.ok() && two.ok() && three.ok() && four.ok());
  one.Serve("/desc.xml", HttpServer::Ok(kDescription));
  two.Serve("/desc.xml", HttpServer::Ok(kDescription + std::string(64 * 1024, ' ')));
  three.Serve("/desc.xml", HttpServer::Ok(kDescription));
  four.Serve("/desc.xml", HttpServer::Ok("<root><device>"));
  targets = {Ip("127.0.0.1"), Ip("127.0.0.2"), Ip("127.0.0.3"), Ip("127.0.0.4"), Ip("127.0.0.5")};
  StartOn({{2, IpAddress::Family::kV4}});
  const std::vector<std::pair<const char*, std::uint16_t>> hosts = {
      {"127.0.0.1", one.port()}, {"127.0.0.2", two.port()}, {"127.0.0.3", three.port()},
      {"127.0.0.4", four.port()}, {"127.0.0.5", 9}};
  // An answer in the host's name pointing at nothing there hides nothing.
  ASSERT_TRUE(Offer(Answer("http://127.0.0.1:" + std::to_string(one.port()) + "/forged.xml"),
                    From("127.0.0.1", 2, "127.0.0.9")));
  for (const auto& [host, port] : hosts) {
    ASSERT_TRUE(Offer(Answer("http://" + std::string(host) + ":" + std::to_string(port) + "/desc.xml"),
                      From(host, 2, "127.0.0.9")));
  }
  const std::vector<IpAddress> asked = {Ip("127.0.0.1"), Ip("127.0.0.2"), Ip("127.0.0.4"), Ip("127.0.0.5"),
                                        Ip("127.0.0.7"), Ip("127.0.0.1")};
  const auto devices = DescribeHosts(search, asked, platform::SystemHttpFetcher(),
                                     platform::SystemMonotonicClock().NowNs() + 2'000'000'000);
  ASSERT_EQ(devices.size(), 1u);
  const UpnpDevice& tv = devices.at(Ip("127.0.0.1"));
  EXPECT_EQ(tv.description, (DeviceDescription{"Kitchen TV", "ACME", "TV-9",
                                               "urn:schemas-upnp-org:device:MediaRenderer:1"}));
  EXPECT_EQ(tv.server, "Box/1.0");
  EXPECT_EQ(one.requests().size(), 2u);
  EXPECT_TRUE(three.requests().empty()) << "a host not asked about was fetched";
}

}  // namespace
}  // namespace ps::names::upnp
