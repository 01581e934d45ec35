// Figures for the UPnP names, on loopback alone: the cost of weighing SSDP
// answers under a flood of forged ones (and how many false hosts it kept:
// must be 0), and the time to fetch and read the descriptions of a /24 of
// devices, 254 web servers on 127.0.1.1-254 answering at once.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_stats.h"
#include "names/upnp/ssdp_search.h"
#include "testsupport/http_server.h"

namespace ps::names::upnp {
namespace {

class NullSocket : public platform::UdpSocket {
 public:
  std::uint16_t local_port() const override { return 40000; }
  Status JoinGroup(const IpAddress&, std::uint32_t) override { return Status::Ok(); }
  Status SendTo(const IpAddress&, std::uint16_t, std::span<const std::uint8_t>, std::uint32_t) override {
    return Status::Ok();
  }
  int Receive(std::span<std::uint8_t>, platform::UdpPeer*, std::int64_t) override { return -1; }
};

class NullOpener : public platform::UdpOpener {
 public:
  Result<std::unique_ptr<platform::UdpSocket>> Open(const platform::UdpOptions&) override {
    return std::unique_ptr<platform::UdpSocket>(new NullSocket);
  }
};

IpAddress Host(int i) { return IpAddress::V4(0x7f000100u + static_cast<std::uint32_t>(i)); }

std::string Answer(const std::string& location) {
  return "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=1800\r\nST: upnp:rootdevice\r\nUSN: uuid:x::upnp:rootdevice\r\n"
         "SERVER: Linux UPnP/1.0 Bench/1\r\nLOCATION: " + location + "\r\n\r\n";
}

const std::string kDescription =
    "<?xml version=\"1.0\"?><root xmlns=\"urn:schemas-upnp-org:device-1-0\"><specVersion><major>1</major>"
    "</specVersion><device><deviceType>urn:schemas-upnp-org:device:MediaServer:1</deviceType><friendlyName>"
    "Bench Device</friendlyName><manufacturer>Bench</manufacturer><modelName>B-1</modelName>" +
    std::string(2000, ' ') + "</device></root>";

struct Flood {
  double ns_per_answer;
  std::size_t kept_hosts;
  std::size_t false_hosts;
};

// 254 genuine answers among 100 forged ones for each: another source, a
// location elsewhere, malformed, another interface.
Flood Weigh(const std::vector<std::uint16_t>& ports) {
  NullOpener opener;
  SsdpSearch search(&opener, &platform::SystemMonotonicClock(), [](const IpAddress& a) {
    return (a.v4() & 0xffffff00u) == 0x7f000100u;
  });
  const SsdpLink link{1, IpAddress::Family::kV4};
  (void)search.Start({&link, 1}, 1, INT64_MAX);
  std::vector<std::pair<std::string, platform::UdpPeer>> datagrams;
  for (int i = 1; i <= 254; ++i) {
    const std::string own = "http://" + Host(i).ToString() + ":" + std::to_string(ports[i - 1]) + "/d.xml";
    const platform::UdpPeer peer{Host(i), 1900, *IpAddress::Parse("127.0.0.1"), 1, 1};
    for (int f = 0; f < 25; ++f) {
      datagrams.push_back({Answer(own), {Host(300 + f), 1900, peer.to, 1, 1}});
      datagrams.push_back({Answer("http://" + Host(i % 254 + 1).ToString() + "/d.xml"), peer});
      datagrams.push_back({"HTTP/1.1 200 OK\r\nLOCATION: " + own + "\r\n", peer});
      datagrams.push_back({Answer(own), {Host(i), 1900, peer.to, 2, 1}});
    }
    datagrams.push_back({Answer(own), peer});
  }
  const std::int64_t start = platform::SystemMonotonicClock().NowNs();
  for (const auto& [text, peer] : datagrams) {
    search.Offer({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, peer, IpAddress::Family::kV4);
  }
  const double ns = static_cast<double>(platform::SystemMonotonicClock().NowNs() - start);
  std::size_t false_hosts = 0;
  for (const auto& [host, answer] : search.answers()) {
    if (answer.locations.size() != 1 || answer.locations[0].url.host != host) ++false_hosts;
  }
  return {ns / static_cast<double>(datagrams.size()), search.answers().size(), false_hosts};
}

}  // namespace
}  // namespace ps::names::upnp

int main() {
  using namespace ps::names::upnp;
  std::vector<std::unique_ptr<ps::testing::HttpServer>> servers;
  std::vector<std::uint16_t> ports;
  for (int i = 1; i <= 254; ++i) {
    servers.push_back(std::make_unique<ps::testing::HttpServer>(Host(i).ToString()));
    if (!servers.back()->ok()) return std::fprintf(stderr, "bench_upnp: no server on %s\n", Host(i).ToString().c_str()), 1;
    servers.back()->Serve("/d.xml", ps::testing::HttpServer::Ok(kDescription));
    ports.push_back(servers.back()->port());
  }
  std::vector<double> weigh_ns, describe_ms;
  std::size_t kept = 0, false_hosts = 0, named = 0;
  for (int run = 0; run < 7; ++run) {
    const Flood flood = Weigh(ports);
    weigh_ns.push_back(flood.ns_per_answer);
    kept = flood.kept_hosts;
    false_hosts += flood.false_hosts;
    NullOpener opener;
    SsdpSearch search(&opener, &ps::platform::SystemMonotonicClock(), [](const ps::IpAddress&) { return true; });
    const SsdpLink link{1, ps::IpAddress::Family::kV4};
    (void)search.Start({&link, 1}, 1, INT64_MAX);
    std::vector<ps::IpAddress> hosts;
    for (int i = 1; i <= 254; ++i) {
      const std::string a = Answer("http://" + Host(i).ToString() + ":" + std::to_string(ports[i - 1]) + "/d.xml");
      search.Offer({reinterpret_cast<const std::uint8_t*>(a.data()), a.size()},
                   {Host(i), 1900, *ps::IpAddress::Parse("127.0.0.1"), 1, 1}, ps::IpAddress::Family::kV4);
      hosts.push_back(Host(i));
    }
    const std::int64_t start = ps::platform::SystemMonotonicClock().NowNs();
    const auto devices = DescribeHosts(search, hosts, ps::platform::SystemHttpFetcher(), start + 5'000'000'000);
    describe_ms.push_back(static_cast<double>(ps::platform::SystemMonotonicClock().NowNs() - start) / 1e6);
    named = devices.size();
  }
  std::printf("SSDP answers weighed, 100 forged per genuine: median %.0f ns each; %zu hosts kept, %zu false\n",
              ps::bench::Median(weigh_ns), kept, false_hosts);
  std::printf("254 descriptions fetched and read on loopback: median %.1f ms (p100 %.1f ms), %zu named\n",
              ps::bench::Median(describe_ms), ps::bench::Percentile(describe_ms, 100), named);
  return false_hosts == 0 && named == 254 ? 0 : 1;
}
