// NameFinder over the fake UDP network: what honest responders say is
// found, each in its place, and no forged answer changes anything.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "names/dns_wire.h"
#include "names/finder.h"
#include "names/test_packets.h"
#include "platform/inet/udp_fakes.h"

namespace ps::names {
namespace {

using platform::SentDatagram;
using Bytes = std::vector<std::uint8_t>;
constexpr std::int64_t kMs = 1'000'000;
constexpr std::uint32_t kLink = 2;

IpAddress Ip(const char* text) { return *IpAddress::Parse(text); }

std::optional<DnsMessage> Query(const SentDatagram& d) {
  return d.port == kNetbiosPort ? std::nullopt : ParseMessage(d.payload);
}

std::uint16_t IdOf(const SentDatagram& d) { return static_cast<std::uint16_t>(d.payload[0] << 8 | d.payload[1]); }

class FinderTest : public ::testing::Test {
 protected:
  // Answers from `from` (port `from_port`) to the port the query left from.
  void Reply(const SentDatagram& d, const IpAddress& from, std::uint16_t from_port, Bytes bytes,
             std::uint16_t to_port = 0) {
    platform::UdpPeer peer{from, from_port, Ip("10.0.0.1"), kLink, 0};
    net_->Deliver(peer, to_port != 0 ? to_port : d.from_port, std::move(bytes));
  }
  // The honest answer of the host a unicast query went to.
  void Honest(const SentDatagram& d) {
    const std::string reverse = ReverseName(d.to);
    if (d.to == Ip("10.0.0.5") && d.port == kMdnsPort)
      Reply(d, d.to, kMdnsPort, testing::DnsResponse(IdOf(d), {{reverse}}, {{reverse, "printer.local"}}));
    if (d.to == Ip("10.0.0.6") && d.port == kNetbiosPort)
      Reply(d, d.to, kNetbiosPort, testing::NodeStatusResponse(IdOf(d), {{"FILES", 0}, {"FILES", 0x20}, {"OFFICE", 0, true}},
                                                                MacAddress{{2, 0, 0, 0, 0, 6}}));
    if (d.to == Ip("10.0.0.7") && d.port == kLlmnrPort)
      Reply(d, d.to, kLlmnrPort, testing::DnsResponse(IdOf(d), {{reverse}}, {{reverse, "desk"}}));
  }
  // Multicast: 10.0.0.8 answers its own name to the group; 10.0.0.5 its services.
  void Group(const SentDatagram& d) {
    const auto q = Query(d);
    if (!q || q->questions.empty()) return;
    const std::string& asked = q->questions[0].name;
    if (asked == ReverseName(Ip("10.0.0.8")))
      Reply(d, Ip("10.0.0.8"), kMdnsPort, testing::DnsResponse(0, {}, {{asked, "tv.local"}}), kMdnsPort);
    if (asked == "_services._dns-sd._udp.local")
      Reply(d, Ip("10.0.0.5"), kMdnsPort,
            testing::DnsResponse(0, {}, {{asked, "_ipp._tcp.local"}, {asked, "_http._tcp.local"}, {asked, "bad.local"}}),
            kMdnsPort);
    if (asked == "_ipp._tcp.local")
      Reply(d, Ip("10.0.0.8"), kMdnsPort, testing::DnsResponse(0, {}, {{asked, "Cast._ipp._tcp.local"}}), kMdnsPort);
  }

  std::unique_ptr<NameFinder> Run(const std::function<void(const SentDatagram&)>& respond,
                                  std::vector<IpAddress> hosts, std::int64_t wait_ms = 300) {
    net_->set_responder([&, respond](const SentDatagram& d) {
      if (d.to.is_v4() && d.to == Ip("224.0.0.251")) Group(d);
      else respond(d);
    });
    FinderOptions o;
    o.wait_ns = wait_ms * kMs;
    o.subnets = {{Ip("10.0.0.0"), 24, kLink}};
    auto finder = std::make_unique<NameFinder>(net_.get(), &platform::SystemMonotonicClock(), o);
    EXPECT_TRUE(finder->Start().empty());
    for (const IpAddress& h : hosts) finder->Ask(h);
    finder->Finish(platform::SystemMonotonicClock().NowNs() + 2000 * kMs);
    return finder;
  }

  std::unique_ptr<platform::FakeUdpNetwork> net_ = std::make_unique<platform::FakeUdpNetwork>();
  std::vector<std::thread> later_;  // answers sent after a while
};

TEST_F(FinderTest, EverySourceInItsPlace) {
  // The browse goes out when 10.0.0.8 is asked, and 10.0.0.5's answer to
  // it comes before 10.0.0.5 answers the sweep: kept until then.
  const auto f = Run([&](const SentDatagram& d) { Honest(d); },
                     {Ip("10.0.0.8"), Ip("10.0.0.5"), Ip("10.0.0.6"), Ip("10.0.0.7"), Ip("192.0.2.9")});
  const HostInfo* printer = f->Find(Ip("10.0.0.5"));
  ASSERT_TRUE(printer);
  EXPECT_EQ(printer->name(Source::kMdns), "printer.local");
  EXPECT_EQ(printer->services, (std::vector<std::string>{"_http._tcp", "_ipp._tcp"}));
  const HostInfo* files = f->Find(Ip("10.0.0.6"));
  EXPECT_EQ(files->name(Source::kNetbios), "FILES");
  EXPECT_EQ(files->workgroup, "OFFICE");
  EXPECT_TRUE(files->netbios_server);
  EXPECT_EQ(files->netbios_mac->ToString(), "02:00:00:00:00:06");
  EXPECT_EQ(f->Find(Ip("10.0.0.7"))->name(Source::kLlmnr), "desk");
  EXPECT_EQ(f->Find(Ip("10.0.0.8"))->name(Source::kMdns), "tv.local");
  EXPECT_EQ(f->Find(Ip("10.0.0.8"))->services, std::vector<std::string>{"_ipp._tcp"});
  EXPECT_EQ(f->Find(Ip("10.0.0.9")), nullptr);
  EXPECT_FALSE(f->Find(Ip("192.0.2.9"))->best());

  // Unicast only to the hosts asked; multicast only to the group, on the link.
  for (const SentDatagram& d : net_->sent()) {
    if (d.to == Ip("224.0.0.251")) {
      EXPECT_EQ(d.interface_index, kLink);
      EXPECT_EQ(d.port, kMdnsPort);
      ASSERT_TRUE(Query(d));
      EXPECT_TRUE(Query(d)->questions[0].klass & kUnicastResponse);
      continue;
    }
    EXPECT_TRUE(d.to == Ip("10.0.0.5") || d.to == Ip("10.0.0.6") || d.to == Ip("10.0.0.7") ||
                d.to == Ip("10.0.0.8") || d.to == Ip("192.0.2.9")) << d.to.ToString();
  }
  // 192.0.2.9 is routed: no group query names it.
  EXPECT_EQ(net_->joined(), (std::vector<std::pair<IpAddress, std::uint32_t>>{{Ip("224.0.0.251"), kLink}}));
}

// Each forged answer arrives in place of the honest one (or beside it for
// multicast): none may give a name.
TEST_F(FinderTest, ForgedAnswersChangeNothing) {
  const std::string rev5 = ReverseName(Ip("10.0.0.5"));
  const std::string rev6 = ReverseName(Ip("10.0.0.6"));
  const auto mdns = [&](std::uint16_t id, std::vector<DnsQuestion> q, std::string name = "") {
    return testing::DnsResponse(id, q, {{name.empty() ? rev5 : name, "evil.local"}});
  };
  struct Case {
    const char* what;
    std::function<void(const SentDatagram&)> forge;
  } cases[] = {
      {"another source", [&](const SentDatagram& d) { if (d.port == kMdnsPort) Reply(d, Ip("10.0.0.99"), kMdnsPort, mdns(IdOf(d), {{rev5}})); }},
      {"another port", [&](const SentDatagram& d) { if (d.port == kMdnsPort) Reply(d, d.to, 5354, mdns(IdOf(d), {{rev5}})); }},
      {"a wrong id", [&](const SentDatagram& d) { if (d.port == kMdnsPort) Reply(d, d.to, kMdnsPort, mdns(IdOf(d) ^ 1, {{rev5}})); }},
      {"no question echoed", [&](const SentDatagram& d) { if (d.port == kMdnsPort) Reply(d, d.to, kMdnsPort, mdns(IdOf(d), {})); }},
      {"another host's question", [&](const SentDatagram& d) { if (d.port == kMdnsPort && d.to == Ip("10.0.0.5")) Reply(d, d.to, kMdnsPort, mdns(IdOf(d), {{rev6}}, rev6)); }},
      {"a late one", [&](const SentDatagram& d) {
         if (d.port != kMdnsPort) return;
         later_.emplace_back([this, d, m = mdns(IdOf(d), {{rev5}})] {
           std::this_thread::sleep_for(std::chrono::milliseconds(250));
           Reply(d, d.to, kMdnsPort, m);
         });
       }},
      {"to the group, about another host", [&](const SentDatagram& d) { if (d.port == kMdnsPort && d.to == Ip("10.0.0.5")) Reply(d, d.to, kMdnsPort, mdns(0, {}, rev6), kMdnsPort); }},
      {"NetBIOS, a wrong id", [&](const SentDatagram& d) { if (d.port == kNetbiosPort) Reply(d, d.to, kNetbiosPort, testing::NodeStatusResponse(IdOf(d) ^ 1, {{"EVIL"}}, {})); }},
      {"NetBIOS, to the group port", [&](const SentDatagram& d) { if (d.port == kNetbiosPort) Reply(d, d.to, kNetbiosPort, testing::NodeStatusResponse(IdOf(d), {{"EVIL"}}, {}), kMdnsPort); }},
      {"LLMNR, a query not an answer", [&](const SentDatagram& d) { if (d.port == kLlmnrPort) Reply(d, d.to, kLlmnrPort, d.payload); }},
      {"an oversized name", [&](const SentDatagram& d) {
         const std::string x(63, 'x');
         if (d.port == kMdnsPort)
           Reply(d, d.to, kMdnsPort, testing::DnsResponse(IdOf(d), {{rev5}}, {{rev5, x + "." + x + "." + x + "." + x + ".local"}}));
       }},
  };
  for (const Case& c : cases) {
    net_ = std::make_unique<platform::FakeUdpNetwork>();
    // 6 is asked too: the question about it is one of this sweep's.
    auto f = Run(c.forge, {Ip("10.0.0.5"), Ip("10.0.0.6")}, 200);
    for (std::thread& t : later_) t.join();
    later_.clear();
    for (const char* host : {"10.0.0.5", "10.0.0.6"}) {
      const HostInfo* info = f->Find(Ip(host));
      ASSERT_TRUE(info) << c.what;
      for (int s = 0; s < kSources; ++s)
        EXPECT_EQ(info->names[static_cast<std::size_t>(s)], "") << c.what << " " << host;
    }
    f.reset();
  }
}

}  // namespace
}  // namespace ps::names
