// The real minidlna from Debian, on the far side of a veth pair in private
// network namespaces, answering our one SSDP search and serving its
// description; beside it a forger on another address of the same link.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "names/upnp/ssdp_search.h"
#include "testsupport/peer_namespace.h"
#include "testsupport/private_network.h"

namespace ps::names::upnp {
namespace {

using ps::testing::PeerNamespace;

IpAddress Ip(const char* text) { return *IpAddress::Parse(text); }

const char* const kFriendlyName = "Wohnzimmer Caf\xc3\xa9 NAS";

class MinidlnaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PS_REQUIRE_PRIVATE_NETWORK();
    if (std::system("command -v minidlnad >/dev/null") != 0) GTEST_SKIP() << "minidlna is not installed";
    char dir[] = "/tmp/ps_minidlna.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    peer_ = std::make_unique<PeerNamespace>();
    ASSERT_TRUE(peer_->ok());
    ASSERT_TRUE(ps::testing::AddVethPair(*peer_, "ps-upnp0", "ps-upnp1"));
    ps::testing::Sh("ip addr add 10.79.0.1/24 dev ps-upnp0");
    // The forger's address sits on the far loopback, so minidlna (bound to
    // ps-upnp1) never speaks from it.
    peer_->Sh("ip addr add 10.79.0.2/24 dev ps-upnp1 && ip addr add 10.79.0.3/32 dev lo");
    std::ofstream(dir_ + "/minidlna.conf")
        << "port=8200\nnetwork_interface=ps-upnp1\nmedia_dir=" << dir_ << "/media\ndb_dir=" << dir_
        << "/db\nlog_dir=" << dir_ << "/log\ninotify=no\nfriendly_name=" << kFriendlyName << "\n";
    ps::testing::Sh("mkdir -p " + dir_ + "/media " + dir_ + "/db " + dir_ + "/log");
    peer_->Sh("minidlnad -f " + dir_ + "/minidlna.conf -d -P " + dir_ + "/pid >" + dir_ + "/out 2>&1 &");
    ASSERT_EQ(peer_->Sh("for i in $(seq 100); do ss -ltn | grep -q :8200 && ss -lun | grep -q :1900 && exit 0; "
                        "sleep 0.1; done; exit 1"),
              0)
        << "minidlna did not start";
  }
  void TearDown() override {
    if (peer_) peer_->Sh("[ -f " + dir_ + "/pid ] && kill $(cat " + dir_ + "/pid); sleep 0.2; true");
    if (!dir_.empty()) ps::testing::Sh("rm -rf " + dir_);
  }

  std::string dir_;
  std::unique_ptr<PeerNamespace> peer_;
};

void SendTo(int fd, const sockaddr_in& to, const std::string& text) {
  (void)!sendto(fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
}

// In the far namespace: hears our M-SEARCH on the group, as minidlna does,
// and answers it from 10.79.0.3 with what a forger would say.
void Forge(bool* heard) {
  const int group = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  setsockopt(group, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in bound{.sin_family = AF_INET, .sin_port = htons(1900), .sin_addr = {htonl(0xeffffffa)}, .sin_zero = {}};
  ip_mreqn join{.imr_multiaddr = {htonl(0xeffffffa)}, .imr_address = {}, .imr_ifindex = static_cast<int>(if_nametoindex("ps-upnp1"))};
  const bool ready = bind(group, reinterpret_cast<sockaddr*>(&bound), sizeof(bound)) == 0 &&
                     setsockopt(group, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof(join)) == 0;
  EXPECT_TRUE(ready) << "the forger could not listen on the group";
  char buffer[2048];
  sockaddr_in searcher{};
  for (pollfd p{group, POLLIN, 0}; ready && !*heard && poll(&p, 1, 5000) == 1;) {
    socklen_t len = sizeof(searcher);
    const ssize_t n = recvfrom(group, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&searcher), &len);
    *heard = n > 0 && std::string(buffer, static_cast<std::size_t>(n)).rfind("M-SEARCH", 0) == 0;
  }
  close(group);
  if (!*heard) return;
  const int forger = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in from{.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(0x0a4f0003)}, .sin_zero = {}};
  EXPECT_EQ(bind(forger, reinterpret_cast<sockaddr*>(&from), sizeof(from)), 0);
  const std::string head = "HTTP/1.1 200 OK\r\nST: upnp:rootdevice\r\nUSN: uuid:forged\r\n";
  SendTo(forger, searcher, head + "LOCATION: http://10.79.0.2:8200/forged.xml\r\n\r\n");
  SendTo(forger, searcher, head + "LOCATION: http://10.79.0.3@10.79.0.2:8200/rootDesc.xml\r\n\r\n");
  SendTo(forger, searcher, head + "LOCATION: http://10.79.0.2\xff:8200/\r\n\r\n");
  SendTo(forger, searcher, head + "X: " + std::string(3000, 'x') + "\r\nLOCATION: http://10.79.0.3/\r\n\r\n");
  SendTo(forger, searcher, head + "SERVER: Forged\xff\r\nLOCATION: http://10.79.0.3:8200/rootDesc.xml\r\n\r\n");
  close(forger);
  // In the real host's own name (another program on it, or a spoofer): its
  // answer is kept beside minidlna's but names nothing.
  const int squatter = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  from.sin_addr.s_addr = htonl(0x0a4f0002);
  EXPECT_EQ(bind(squatter, reinterpret_cast<sockaddr*>(&from), sizeof(from)), 0);
  SendTo(squatter, searcher, head + "LOCATION: http://10.79.0.2:8200/forged.xml\r\n\r\n");
  close(squatter);
}

// One search on the link finds minidlna; its description names it exactly;
// forged answers from another address of the link change nothing.
TEST_F(MinidlnaTest, NamesTheRealServerAndNothingForged) {
  bool heard = false;
  std::thread forger([&] { peer_->RunInside([&] { Forge(&heard); }); });
  usleep(200'000);  // the forger listens before we search
  const std::set<IpAddress> targets = {Ip("10.79.0.2"), Ip("10.79.0.3")};
  SsdpSearch search(platform::SystemUdpOpener(), &platform::SystemMonotonicClock(),
                    [&](const IpAddress& a) { return targets.count(a) != 0; });
  const std::int64_t now = platform::SystemMonotonicClock().NowNs();
  const SsdpLink link{if_nametoindex("ps-upnp0"), IpAddress::Family::kV4};
  ASSERT_TRUE(search.Start({&link, 1}, 1, now + 2'000'000'000).ok());
  search.Poll(now + 2'000'000'000);
  forger.join();
  EXPECT_TRUE(heard) << "the forger never heard our search";

  EXPECT_GE(search.counts().foreign_location, 3u);
  EXPECT_GE(search.counts().malformed, 1u);
  ASSERT_EQ(search.answers().count(Ip("10.79.0.2")), 1u);
  EXPECT_EQ(search.answers().at(Ip("10.79.0.2")).locations.size(), 2u);
  // The forger's answer about itself is kept, but it did not answer the
  // sweep here: it is never fetched.
  const std::vector<IpAddress> swept = {Ip("10.79.0.2")};
  const auto devices = DescribeHosts(search, swept, platform::SystemHttpFetcher(),
                                     platform::SystemMonotonicClock().NowNs() + 2'000'000'000);
  ASSERT_EQ(devices.size(), 1u);
  const UpnpDevice& nas = devices.at(Ip("10.79.0.2"));
  EXPECT_EQ(nas.description.friendly_name, kFriendlyName);
  EXPECT_EQ(nas.description.manufacturer, "Justin Maggard");
  EXPECT_EQ(nas.description.model_name, "Windows Media Connect compatible (MiniDLNA)");
  EXPECT_EQ(nas.description.device_type, "urn:schemas-upnp-org:device:MediaServer:1");
  EXPECT_NE(nas.server.find("MiniDLNA/1.3"), std::string::npos) << nas.server;
}

}  // namespace
}  // namespace ps::names::upnp
