// Names from real responders in private namespaces: avahi-daemon (multicast
// DNS names and DNS-SD services), Samba's nmbd (NetBIOS) and minidlna (SSDP
// and a UPnP description), each started
// with its own configuration on the far side of a veth pair; and a forger
// beside them whose answers must change nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "cli/sweep/test_readers.h"
#include "core/terminal_text.h"
#include "names/dns_wire.h"
#include "names/finder.h"
#include "names/netbios_wire.h"
#include "names/test_packets.h"
#include "platform/clock/monotonic_clock.h"
#include "platform/inet/udp_io.h"
#include "testsupport/peer_namespace.h"
#include "testsupport/private_network.h"
#include "testsupport/temp_dir.h"

namespace ps::cli {
namespace {

using ps::testing::Sh;
using ps::testing::ShOutput;

std::string Program(const std::string& args) {
  return ShOutput(PINGSWEEP_CLI " " + args + " 2>/dev/null");
}

nlohmann::json HostIn(const std::string& json_lines, const std::string& address) {
  for (const auto& o : ps::cli::testing::JsonLines(json_lines))
    if (o["address"] == address) return o;
  return nullptr;
}

void Write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// Answers every query it gets at 10.79.1.2 wrongly, and floods our group
// port with claims about the honest host, until stopped. Its own NetBIOS
// name is its to give: not UTF-8, it must come out escaped.
void Forge(const std::atomic<bool>& stop) {
  auto* udp = platform::SystemUdpOpener();
  auto mdns = udp->Open({.port = names::kMdnsPort});
  auto netbios = udp->Open({.port = names::kNetbiosPort});
  auto llmnr = udp->Open({.port = 5355});
  ASSERT_TRUE(mdns.ok() && netbios.ok() && llmnr.ok());
  const IpAddress us = *IpAddress::Parse("10.79.0.1");
  const std::string honest = names::ReverseName(*IpAddress::Parse("10.79.0.2"));
  const std::string self = names::ReverseName(*IpAddress::Parse("10.79.1.2"));
  const std::string x(63, 'x');
  std::vector<std::pair<std::int64_t, std::pair<platform::UdpPeer, std::vector<std::uint8_t>>>> late;
  std::uint8_t buffer[1500];
  auto& clock = platform::SystemMonotonicClock();
  while (!stop.load()) {
    // Claims about the honest host, from another source.
    (void)(*mdns)->SendTo(us, names::kMdnsPort, names::testing::DnsResponse(0, {}, {{honest, "other-source.local"}}));
    platform::UdpPeer p;
    for (auto* s : {&*mdns, &*netbios, &*llmnr}) {
      const int n = (*s)->Receive(buffer, &p, clock.NowNs() + 5'000'000);
      if (n < 12) continue;
      const std::uint16_t id = static_cast<std::uint16_t>(buffer[0] << 8 | buffer[1]);
      if (s == &*mdns) {
        (void)(*mdns)->SendTo(p.from, p.from_port, names::testing::DnsResponse(id ^ 1, {{self}}, {{self, "wrong-id.local"}}));
        (void)(*mdns)->SendTo(p.from, p.from_port, names::testing::DnsResponse(id, {{honest}}, {{honest, "unasked.local"}}));
        (void)(*mdns)->SendTo(p.from, p.from_port, names::testing::DnsResponse(id, {{self}}, {{self, x + "." + x + "." + x + "." + x}}));
      } else if (s == &*netbios) {
        (void)(*netbios)->SendTo(p.from, p.from_port, names::testing::NodeStatusResponse(id, {{"BAD\xff\x1b"}}, {}));
      } else {
        late.push_back({clock.NowNs() + 1'500'000'000, {p, names::testing::DnsResponse(id, {{self}}, {{self, "late.local"}})}});
      }
    }
    for (auto& [when, what] : late) {
      if (when == 0 || clock.NowNs() < when) continue;
      (void)(*llmnr)->SendTo(what.first.from, what.first.from_port, what.second);
      when = 0;
    }
  }
}

class NamesNetnsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ps::testing::PrivateNetworkSkipReason().empty()) GTEST_SKIP() << "needs a private network";
    ASSERT_TRUE(peer_.ok());
    ASSERT_TRUE(ps::testing::AddVethPair(peer_, "nm0", "nm1"));
    ASSERT_TRUE(forger_.ok());
    ASSERT_TRUE(ps::testing::AddVethPair(forger_, "nm2", "nm3"));
    Sh("ip addr add 10.79.0.1/24 dev nm0 && ip addr add 10.79.1.1/24 dev nm2");
    peer_.Sh("ip link set lo up && ip addr add 10.79.0.2/24 dev nm1");
    forger_.Sh("ip link set lo up && ip addr add 10.79.1.2/24 dev nm3 && ip route add default via 10.79.1.1");
    StartAvahi();
    StartNmbd();
    StartMinidlna();
  }
  void TearDown() override {
    for (const std::string pid : {"avahi", "nmbd", "minidlna"}) Sh("[ ! -f " + dir_ + "/" + pid + ".pid ] || kill $(cat " + dir_ + "/" + pid + ".pid); true");
    Sh("umount /etc/avahi/services /run/avahi-daemon 2>/dev/null; true");
  }

  // Its own configuration, no D-Bus, on nm1 alone; one static service file
  // of two services, in a services folder of its own.
  void StartAvahi() {
    Sh("mkdir -p " + dir_ + "/services " + dir_ + "/run /run/avahi-daemon");
    Write(dir_ + "/avahi.conf",
          "[server]\nhost-name=printer-lab\ndomain-name=local\nuse-ipv4=yes\nuse-ipv6=yes\n"
          "allow-interfaces=nm1\nenable-dbus=no\n[publish]\npublish-addresses=yes\n"
          "publish-hinfo=no\npublish-workstation=no\n");
    Write(dir_ + "/services/lab.service",
          "<?xml version=\"1.0\" standalone='no'?>\n<service-group><name>Lab Printer</name>\n"
          "<service><type>_ipp._tcp</type><port>631</port></service>\n"
          "<service><type>_ssh._tcp</type><port>22</port></service>\n</service-group>\n");
    Sh("mount --bind " + dir_ + "/services /etc/avahi/services && mount --bind " + dir_ + "/run /run/avahi-daemon");
    peer_.Sh("avahi-daemon -f " + dir_ + "/avahi.conf --no-drop-root --no-chroot --no-rlimits >" + dir_ +
             "/avahi.log 2>&1 & echo $! >" + dir_ + "/avahi.pid");
  }

  void StartNmbd() {
    const std::string s = dir_ + "/samba";
    Sh("mkdir -p " + s + "/lock " + s + "/state " + s + "/cache " + s + "/pid " + s + "/private " + s + "/log");
    Write(dir_ + "/smb.conf", "[global]\nnetbios name = FILESRV\nworkgroup = LABGROUP\ninterfaces = nm1\n"
                              "bind interfaces only = yes\nlock directory = " + s + "/lock\nstate directory = " +
                              s + "/state\ncache directory = " + s + "/cache\npid directory = " + s +
                              "/pid\nprivate dir = " + s + "/private\nlog file = " + s + "/log/nmbd.log\n");
    peer_.Sh("nmbd -F --debug-stdout -d 1 -s " + dir_ + "/smb.conf --no-process-group >" + dir_ +
             "/nmbd.log 2>&1 & echo $! >" + dir_ + "/nmbd.pid");
  }

  void StartMinidlna() {
    const std::string d = dir_ + "/dlna";
    Sh("mkdir -p " + d + "/media " + d + "/db " + d + "/log");
    Write(dir_ + "/minidlna.conf", "media_dir=" + d + "/media\ndb_dir=" + d + "/db\nlog_dir=" + d +
                                       "/log\nnetwork_interface=nm1\nport=8200\nfriendly_name=Lab Media\n"
                                       "model_name=LabModel\ninotify=no\n");
    peer_.Sh("minidlnad -f " + dir_ + "/minidlna.conf -P " + d + "/pid -d >" + dir_ +
             "/minidlna.log 2>&1 & echo $! >" + dir_ + "/minidlna.pid");
  }

  // Sweeps until every daemon answers (they announce themselves first), at
  // most 20 s; the last JSON for 10.79.0.2.
  nlohmann::json WaitUntilNamed() {
    nlohmann::json host;
    for (int i = 0; i < 40; ++i) {
      host = HostIn(Program("-o json -t 300 10.79.0.2"), "10.79.0.2");
      if (host != nullptr && host["names"].size() == 3 && host["services"].size() == 2) break;
      usleep(500'000);
    }
    return host;
  }

  platform::TempRegistryDir temp_;
  const std::string dir_ = temp_.path();
  ps::testing::PeerNamespace peer_;
  ps::testing::PeerNamespace forger_;  // another host, on another link
};

TEST_F(NamesNetnsTest, RealDaemonsNameTheHost) {
  const nlohmann::json host = WaitUntilNamed();
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(host["name"], "printer-lab.local");
  EXPECT_EQ(host["name_source"], "mdns");
  EXPECT_EQ(host["names"],
            (nlohmann::json{{"mdns", "printer-lab.local"}, {"netbios", "FILESRV"}, {"ssdp", "Lab Media"}}));
  EXPECT_EQ(host["model"], "LabModel");
  EXPECT_EQ(host["services"], (nlohmann::json{"_ipp._tcp", "_ssh._tcp"}));
  EXPECT_EQ(host["kind"], "printer");
  EXPECT_EQ(host["workgroup"], "LABGROUP");

  // One source at a time, none, and the other formats.
  const struct { const char* args; nlohmann::json name; nlohmann::json source; } cases[] = {
      {"--names=netbios", "FILESRV", "netbios"},
      {"--names=mdns,llmnr", "printer-lab.local", "mdns"},
      {"--names=ssdp,llmnr", "Lab Media", "ssdp"},
      {"--names=llmnr", nullptr, nullptr},
      {"-n", nullptr, nullptr},
  };
  for (const auto& c : cases) {
    // A device answers an SSDP search within MX at a moment it picks, over
    // UDP; on a loaded machine that can fall after the search's window, as on
    // a real network. Up to three sweeps, as WaitUntilNamed does.
    nlohmann::json h;
    for (int attempt = 0; attempt < 3 && (attempt == 0 || h["name"] != c.name); ++attempt)
      h = HostIn(Program(std::string(c.args) + " -o json -t 300 --name-wait=3000 10.79.0.2"), "10.79.0.2");
    EXPECT_EQ(h["name"], c.name) << c.args;
    EXPECT_EQ(h["name_source"], c.source) << c.args;
  }
  // A wait long enough for every source however slow the build (sanitizers).
  bool ok = false;
  const auto rows =
      ps::cli::testing::CsvRows(Program("-o csv -t 300 --name-wait=3000 10.79.0.2"), &ok);
  ASSERT_TRUE(ok && rows.size() == 1);
  EXPECT_EQ(rows[0].at("name_source"), "mdns");
  EXPECT_EQ(rows[0].at("kind"), "printer");
  EXPECT_EQ(rows[0].at("model"), "LabModel");
  EXPECT_NE(Program("-t 300 --name-wait=3000 10.79.0.2").find("KIND"), std::string::npos);

  // IPv6 hosts, the link-local one and a global address, by the same daemon.
  // (Before the global address exists: avahi answers a query to its
  // link-local address from its global one, which does not count.)
  const std::string out = Program("-o json -t 300 --link-local nm0");
  const auto link_local = ps::cli::testing::JsonLines(out);
  ASSERT_EQ(link_local.size(), 1u);
  EXPECT_EQ(link_local[0]["name"], "printer-lab.local") << out;
  EXPECT_EQ(link_local[0]["services"], (nlohmann::json{"_ipp._tcp", "_ssh._tcp"}));
  Sh("ip -6 addr add fd79::1/64 dev nm0 nodad");
  peer_.Sh("ip -6 addr add fd79::2/64 dev nm1 nodad");
  nlohmann::json v6;
  for (int i = 0; i < 20 && (v6 == nullptr || v6["name"] == nullptr); ++i) {
    if (i > 0) usleep(500'000);  // avahi announces the new address first
    v6 = HostIn(Program("-o json -t 300 fd79::2"), "fd79::2");
  }
  ASSERT_NE(v6, nullptr);
  EXPECT_EQ(v6["name"], "printer-lab.local");
}

TEST_F(NamesNetnsTest, ForgedAnswersChangeNothing) {
  const nlohmann::json honest = WaitUntilNamed();
  ASSERT_NE(honest, nullptr);
  std::atomic<bool> stop{false};
  std::thread forger([&] { forger_.RunInside([&] { Forge(stop); }); });
  usleep(200'000);
  const std::string out = Program("-o json -t 300 10.79.0.2 10.79.1.2");
  stop = true;
  forger.join();
  const nlohmann::json host = HostIn(out, "10.79.0.2");
  for (const char* field : {"name", "name_source", "names", "services", "model", "kind", "workgroup"})
    EXPECT_EQ(host[field], honest[field]) << field;
  // The forger's own NetBIOS name counts (it is its own), escaped; nothing else.
  const nlohmann::json forger_host = HostIn(out, "10.79.1.2");
  EXPECT_EQ(forger_host["names"], (nlohmann::json{{"netbios", EscapeText("BAD\xff\x1b")}})) << out;
  EXPECT_EQ(out.find("late.local"), std::string::npos);
}

}  // namespace
}  // namespace ps::cli
