// pingsweep-cli's TCP probes over fakes: the --probe lists, TCP after ICMP
// for the hosts still silent, the via field in every format, the fallback
// to connect() and what needs CAP_NET_RAW.
#include <gtest/gtest.h>

#include <cerrno>
#include <sstream>

#include "cli/sweep/options.h"
#include "cli/sweep/run.h"
#include "cli/sweep/test_options.h"
#include "cli/sweep/test_readers.h"
#include "lan/arp_fakes.h"
#include "platform/inet/sweep_fakes.h"

namespace ps::cli {
namespace {

using testing::Parse;

std::vector<TcpProbeOption> Syn(std::vector<std::uint16_t> ports) {
  std::vector<TcpProbeOption> out;
  for (const std::uint16_t p : ports) out.push_back({false, p});
  return out;
}

TEST(TcpOptionsTest, ProbeListsAddUpAndNameWhatIsWrong) {
  const struct {
    std::vector<std::string> args;
    ProbeMethod probe;
    std::vector<TcpProbeOption> tcp;
  } cases[] = {
      {{}, ProbeMethod::kAuto, {}},
      {{"--probe", "tcp"}, ProbeMethod::kNone, Syn({443, 80, 22, 445, 3389})},
      {{"--probe=tcp-ack"}, ProbeMethod::kNone, {{true, 80}}},
      {{"--probe", "icmp,tcp:22,80,tcp-ack:80"}, ProbeMethod::kIcmp, {{false, 22}, {false, 80}, {true, 80}}},
      {{"--probe", "arp", "--probe", "tcp:1000-1002,1001"}, ProbeMethod::kArp, Syn({1000, 1001, 1002})},
      {{"--probe", "auto,tcp:443"}, ProbeMethod::kAuto, Syn({443})},
      {{"--probe", "arp,icmp"}, ProbeMethod::kBoth, {}},
      {{"--probe", "both"}, ProbeMethod::kBoth, {}},
  };
  for (const auto& c : cases) {
    const Result<Options> r = Parse(c.args);
    ASSERT_TRUE(r.ok()) << r.status().message();
    EXPECT_EQ(r.value().probe, c.probe);
    EXPECT_EQ(r.value().tcp, c.tcp);
  }
  const std::pair<std::string, std::string> errors[] = {
      {"auto,icmp", "auto chooses between ARP and ICMP itself"},
      {"tcp:0", "'0' is not a port"},
      {"tcp:65536", "'65536' is not a port"},
      {"tcp:80-70", "'80-70' is not a port"},
      {"tcp:", "'' is not a port"},
      {"tcp,80", "'80' is not a probe kind"},
      {"icmp,", "'' is not a probe kind"},
      {"udp:53", "'udp:53' is not a probe kind"},
      {"icmp:7", "'icmp:7' is not a probe kind"},
      {"tcp:1-65", "more than 64 TCP probes"},
  };
  for (const auto& [arg, expected] : errors) {
    const Result<Options> r = Parse({"--probe", arg});
    ASSERT_FALSE(r.ok()) << arg;
    EXPECT_NE(r.status().message().find(expected), std::string::npos)
        << arg << ": " << r.status().message();
  }
  EXPECT_NE(HelpText("pingsweep-cli").find("It adds no TCP probes"), std::string::npos);
}

// Records how many TCP sockets were open when the capabilities went.
class CountingPrivileges : public platform::Privileges {
 public:
  explicit CountingPrivileges(platform::FakeTcpOpener* tcp) : tcp_(tcp) {}
  bool HasNetRaw() override { return !dropped; }
  Status DropAll() override {
    dropped = true;
    tcp_sockets_before = tcp_->opened.size();
    return Status::Ok();
  }
  bool dropped = false;
  std::size_t tcp_sockets_before = 0;

 private:
  platform::FakeTcpOpener* tcp_;
};

IpAddress Ip(std::uint32_t last) { return IpAddress::V4(0x0A000000u | last); }

class TcpRunTest : public ::testing::Test {
 protected:
  TcpRunTest() {
    icmp_.clock = tcp_.clock = &clock_;
    icmp_.facts.program_path = "/opt/pingsweep-cli";
    icmp_.hosts[Ip(1)] = {};  // answers echo; the rest drop it
    platform::FakeTcpSocket::Host h;
    h.open = {443};
    tcp_.hosts[Ip(1)] = h;
    h.resets_closed = false;
    tcp_.hosts[Ip(2)] = h;
    tcp_.hosts[Ip(3)] = {};  // resets every port
    h.answers = false;
    tcp_.hosts[Ip(4)] = h;  // drops everything
    h = {};
    h.resets_closed = false;
    h.drops_syn = true;
    tcp_.hosts[Ip(5)] = h;  // passes only ACKs
  }
  int RunWith(std::vector<std::string> args) {
    out_.str("");
    err_.str("");
    tcp_.probed.clear();
    std::istringstream in;
    const Result<Options> parsed = Parse(std::move(args));
    EXPECT_TRUE(parsed.ok()) << parsed.status().message();
    const platform::SweepPlatform p{&clock_, &icmp_, nullptr, &interfaces_, &resolver_,
                                    nullptr, &privileges_, &tcp_};
    return cli::Run(parsed.value(), p, Streams{&in, &out_, &err_, false}, "pingsweep-cli");
  }

  platform::FakeMonotonicClock clock_;
  platform::FakeIcmpOpener icmp_;
  platform::FakeTcpOpener tcp_;
  platform::FakeResolver resolver_;
  platform::FakeInterfaceTable interfaces_;
  CountingPrivileges privileges_{&tcp_};
  std::ostringstream out_, err_;
};

TEST_F(TcpRunTest, TcpProbesTheHostsIcmpDidNotFindAndSaysWhichProbeAnswered) {
  tcp_.raw_allowed = true;
  ASSERT_EQ(RunWith({"-n", "-a", "-o", "csv", "--probe", "icmp,tcp:443,tcp-ack:80", "10.0.0.1-5"}),
            kAnswered);
  bool ok = false;
  const auto rows = testing::CsvRows(out_.str(), &ok);
  ASSERT_TRUE(ok);
  ASSERT_EQ(rows.size(), 5u);
  const char* via[] = {"icmp", "tcp:443", "tcp:443", "", "tcp-ack:80"};
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].at("via"), via[i]) << rows[i].at("address");
    EXPECT_EQ(rows[i].at("status"), i == 3 ? "silent" : "answered") << rows[i].at("address");
  }
  EXPECT_EQ(rows[1].at("rtt_ms"), "1.000");  // the SYN-ACK's round trip
  EXPECT_EQ(rows[3].at("sent"), "4");        // two echo requests and two rounds of TCP
  EXPECT_NE(err_.str().find("4 of 5 hosts answered"), std::string::npos) << err_.str();
  // Not one TCP probe to the host that answered ping.
  EXPECT_EQ(std::count(tcp_.probed.begin(), tcp_.probed.end(), Ip(1)), 0);
  EXPECT_EQ(std::count(tcp_.probed.begin(), tcp_.probed.end(), Ip(4)), 4);
  EXPECT_EQ(privileges_.tcp_sockets_before, 1u);

  // TCP alone: no echo request; text shows the column, JSON the field.
  icmp_.last_opened = nullptr;
  ASSERT_EQ(RunWith({"-n", "--probe", "tcp:443", "10.0.0.1-3"}), kAnswered);
  EXPECT_EQ(icmp_.last_opened, nullptr);
  EXPECT_NE(out_.str().find("TTL  VIA\n"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("10.0.0.1  -     1.000 ms  64   tcp:443\n"), std::string::npos)
      << out_.str();
  ASSERT_EQ(RunWith({"-n", "-o", "json", "--probe", "tcp-ack", "10.0.0.5"}), kAnswered);
  const auto objects = testing::JsonLines(out_.str());
  ASSERT_EQ(objects.size(), 1u);
  EXPECT_EQ(objects[0]["via"], "tcp-ack:80");
}

TEST_F(TcpRunTest, WithoutARawSocketSynProbesConnectAndAckProbesAreRefused) {
  ASSERT_EQ(RunWith({"-n", "-a", "-o", "csv", "--probe", "tcp:443", "10.0.0.1-5"}), kAnswered);
  EXPECT_EQ(tcp_.opened, std::vector<platform::TcpProbeSocket::Kind>{
                             platform::TcpProbeSocket::Kind::kConnect});
  EXPECT_NE(err_.str().find("probing TCP ports by connect(): raw SYN probes need CAP_NET_RAW "
                            "(sudo setcap cap_net_raw+ep /opt/pingsweep-cli)"),
            std::string::npos) << err_.str();
  bool ok = false;
  const auto rows = testing::CsvRows(out_.str(), &ok);
  ASSERT_EQ(rows.size(), 5u);
  const char* via[] = {"tcp:443", "tcp:443", "tcp:443", "", ""};
  for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i].at("via"), via[i]) << i;
  // An excluded host gets no attempt.
  ASSERT_EQ(RunWith({"-n", "--probe", "tcp:443", "-x", "10.0.0.2", "10.0.0.1-3"}), kAnswered);
  EXPECT_EQ(tcp_.probed, (std::vector<IpAddress>{Ip(1), Ip(3)}));
  EXPECT_NE(out_.str().find("2 of 2 hosts answered"), std::string::npos) << out_.str();

  tcp_.opened.clear();
  EXPECT_EQ(RunWith({"--probe", "tcp,tcp-ack", "10.0.0.5"}), kNoPermission);
  EXPECT_NE(err_.str().find("tcp-ack probes need a raw socket, so CAP_NET_RAW; to allow it:\n"
                            "  sudo setcap cap_net_raw+ep /opt/pingsweep-cli\n"),
            std::string::npos) << err_.str();
  EXPECT_TRUE(tcp_.opened.empty());
  // The program's path comes from outside: escaped, then quoted for the shell.
  icmp_.facts.program_path = "/opt/ev\x1B]0;x\x07il";
  EXPECT_EQ(RunWith({"--probe", "tcp-ack", "10.0.0.5"}), kNoPermission);
  EXPECT_NE(err_.str().find("setcap cap_net_raw+ep '/opt/ev\\x1B]0;x\\x07il'\n"),
            std::string::npos) << err_.str();
  EXPECT_EQ(err_.str().find('\x1B'), std::string::npos) << err_.str();
  icmp_.facts.program_path = "/opt/pingsweep-cli";

  EXPECT_EQ(RunWith({"--check"}), kAnswered);
  EXPECT_NE(out_.str().find("TCP probes: SYN by connect() only"), std::string::npos) << out_.str();
  tcp_.raw_allowed = true;
  EXPECT_EQ(RunWith({"--check"}), kAnswered);
  EXPECT_NE(out_.str().find("TCP probes: SYN and ACK over a raw socket"), std::string::npos);
}

// A system with no raw TCP socket for anyone (Windows): SYN probes connect,
// saying why; ACK probes are refused with the system's reason, not setcap.
TEST_F(TcpRunTest, WhereNoRawSocketExistsSynProbesConnectAndAckProbesAreRefused) {
  tcp_.raw_error = ENOTSUP;
  tcp_.raw_refusal = "Windows sends no TCP segments over raw sockets";
  ASSERT_EQ(RunWith({"-n", "--probe", "tcp:443", "10.0.0.1-3"}), kAnswered);
  EXPECT_EQ(tcp_.opened, std::vector<platform::TcpProbeSocket::Kind>{
                             platform::TcpProbeSocket::Kind::kConnect});
  EXPECT_NE(err_.str().find("probing TCP ports by connect(): Windows sends no TCP segments over "
                            "raw sockets\n"),
            std::string::npos) << err_.str();
  EXPECT_NE(out_.str().find("3 of 3 hosts answered"), std::string::npos) << out_.str();
  const struct {
    std::vector<std::string> args;
    int code;
    const char* says;
  } cases[] = {
      {{"--probe", "tcp-ack", "10.0.0.5"}, kSystemFailure,
       "tcp-ack probes need a raw socket: Windows sends no TCP segments over raw sockets\n"},
      {{"--probe", "tcp,tcp-ack:80", "10.0.0.5"}, kSystemFailure,
       "tcp-ack probes need a raw socket: Windows sends no TCP segments"},
      {{"--check"}, kAnswered,
       "TCP probes: SYN by connect() only (Windows sends no TCP segments over raw sockets); no "
       "ACK probes\n"},
  };
  for (const auto& c : cases) {
    tcp_.opened.clear();
    EXPECT_EQ(RunWith(c.args), c.code) << c.args.back();
    const std::string said = out_.str() + err_.str();
    EXPECT_NE(said.find(c.says), std::string::npos) << said;
    EXPECT_EQ(said.find("setcap"), std::string::npos) << said;
    if (c.code != kAnswered) {
      EXPECT_TRUE(tcp_.opened.empty());
    }
  }
}

// On-link targets go by ARP alone: one that ignores ARP cannot get a TCP
// segment either, so the TCP probes go only beyond the link.
TEST_F(TcpRunTest, ArpAndTcpSplitTheTargetsByLink) {
  sweep::FakeArpSegment segment(&clock_.now_ns);
  segment.hosts[0x0A000002] = {};
  sweep::FakePacketNetwork packets(&segment);
  packets.links = {platform::Link{"eth0", 2, *MacAddress::Parse("00:00:0c:00:00:06"), true, true,
                                  {{0x0A000006, 29}}}};
  tcp_.raw_allowed = true;
  tcp_.hosts[IpAddress::V4(0xC0000201)] = tcp_.hosts[Ip(1)];  // 192.0.2.1 listens on 443
  std::istringstream in;
  const Result<Options> parsed = Parse({"-n", "-a", "-o", "csv", "--probe", "arp,tcp:443",
                                        "10.0.0.1-4", "192.0.2.1"});
  ASSERT_TRUE(parsed.ok());
  const platform::SweepPlatform p{&clock_, &icmp_, nullptr, &interfaces_, &resolver_,
                                  &packets, &privileges_, &tcp_};
  ASSERT_EQ(cli::Run(parsed.value(), p, Streams{&in, &out_, &err_, false}, "pingsweep-cli"),
            kAnswered) << err_.str();
  bool ok = false;
  const auto rows = testing::CsvRows(out_.str(), &ok);
  ASSERT_EQ(rows.size(), 5u) << out_.str();
  const char* via[] = {"", "arp", "", "", "tcp:443"};
  for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i].at("via"), via[i]) << i;
  EXPECT_EQ(tcp_.probed, std::vector<IpAddress>{IpAddress::V4(0xC0000201)});
  EXPECT_EQ(icmp_.last_opened, nullptr);  // and no echo request at all
}

}  // namespace
}  // namespace ps::cli
