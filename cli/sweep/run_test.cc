// Whole runs of pingsweep-cli over fakes: what is printed, the exit code, ARP
// beside ICMP, and when the capabilities are given up.
#include <gtest/gtest.h>

#include <sstream>

#include "cli/sweep/run.h"
#include "cli/sweep/test_fixtures.h"
#include "cli/sweep/test_options.h"
#include "cli/sweep/test_readers.h"
#include "lan/arp_fakes.h"
#include "platform/http/http_fetch.h"
#include "platform/inet/sweep_fakes.h"

namespace ps::cli {
namespace {

using testing::Parse;

TEST_F(RunTest, SweepsPrintsAndExits) {
  EXPECT_EQ(RunWith({"10.0.0.1-4"}), kAnswered);
  EXPECT_NE(out_.str().find("10.0.0.3  printer.lan"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("\n2 of 4 hosts answered in "), std::string::npos) << out_.str();
  EXPECT_EQ(err_.str(), "");

  EXPECT_EQ(RunWith({"-n", "-a", "--format", "csv", "-"}, "10.0.0.1\n# comment\n10.0.0.2\n"), kAnswered);
  bool ok = false;
  const auto rows = testing::CsvRows(out_.str(), &ok);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].at("status"), "silent");
  EXPECT_NE(err_.str().find("1 of 2 hosts answered"), std::string::npos);

  EXPECT_EQ(RunWith({"10.0.0.2", "10.0.0.4"}), kNoneAnswered);
  EXPECT_EQ(RunWith({"10.0.0.1", "--exclude", "10.0.0.1"}), kUsage);
  EXPECT_EQ(RunWith({"10.0.0.1", "224.0.0.9"}), kUsage);
  EXPECT_NE(err_.str().find("pingsweep-cli: '224.0.0.9': multicast"), std::string::npos);
  EXPECT_EQ(RunWith({"-f", "/nonexistent/targets"}), kUsage);
  EXPECT_NE(err_.str().find("'/nonexistent/targets': cannot read"), std::string::npos);

  // No target: the non-loopback subnets, said on standard error.
  EXPECT_EQ(RunWith({"-n"}), kAnswered);
  EXPECT_NE(err_.str().find("sweeping 10.0.0.0/29 (eth0)"), std::string::npos) << err_.str();
  EXPECT_NE(out_.str().find("2 of 6 hosts answered"), std::string::npos) << out_.str();
}

// A system that cannot fetch device descriptions (the Windows build): SSDP
// names asked by name are refused before anything is sent; by default they
// are left out and the run goes on.
TEST_F(RunTest, NamesThatCannotWorkHereAreRefusedOnlyWhenAsked) {
  struct NoHttp : platform::HttpFetcher {
    std::vector<platform::HttpReply> GetAll(std::span<const platform::HttpGet> r,
                                            const platform::HttpLimits&) override {
      return std::vector<platform::HttpReply>(r.size());
    }
    std::string WhyUnavailable() const override { return "no client"; }
  } no_http;
  http_ = &no_http;
  const struct {
    std::vector<std::string> args;
    int code;
  } cases[] = {{{"--names=ssdp", "10.0.0.3"}, kSystemFailure},
               {{"--names", "dns,ssdp", "10.0.0.3"}, kSystemFailure},
               {{"--names=dns", "10.0.0.3"}, kAnswered},
               {{"10.0.0.3"}, kAnswered},
               {{"-n", "--names=ssdp", "10.0.0.3"}, kAnswered}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    EXPECT_EQ(RunWith(c.args), c.code) << err_.str();
    if (c.code == kSystemFailure) {
      EXPECT_EQ(err_.str(), "pingsweep-cli: --names ssdp is not available on this system: no client\n");
      EXPECT_EQ(out_.str(), "");
    } else {
      EXPECT_NE(out_.str().find("1 of 1 hosts answered"), std::string::npos) << out_.str();
    }
  }
}

TEST_F(RunTest, NoPermissionPrintsTheFixes) {
  opener_.datagram_allowed = false;
  EXPECT_EQ(RunWith({"10.0.0.1"}), kNoPermission);
  EXPECT_NE(err_.str().find("sudo setcap cap_net_raw+ep /opt/pingsweep-cli"), std::string::npos);
  EXPECT_NE(err_.str().find("/etc/sysctl.d/"), std::string::npos);
  EXPECT_EQ(RunWith({"--check"}), kNoPermission);
  opener_.raw_allowed = true;
  EXPECT_EQ(RunWith({"10.0.0.1"}), kAnswered);
  EXPECT_EQ(RunWith({"--check"}), kAnswered);
}

TEST_F(RunTest, InterruptBeforeTheSweepReportsNothingFound) {
  Interrupt();
  EXPECT_EQ(RunWith({"10.0.0.1-4"}), kInterrupted);
  EXPECT_NE(out_.str().find("0 of 4 hosts answered in 0.00 s (interrupted)"), std::string::npos)
      << out_.str();
  // Nor does a discovery on the links.
  interfaces_.links = {{"eth0", 2}};
  Interrupt();
  EXPECT_EQ(RunWith({"--link-local"}), kInterrupted);
  EXPECT_NE(out_.str().find("0 hosts answered on eth0 in 0.00 s (interrupted)"), std::string::npos)
      << out_.str();
}

TEST_F(LanRunTest, OnLinkTargetsGoByArpAndShowTheirMac) {
  EXPECT_EQ(RunLan({"-n", "10.0.0.1-4", "192.0.2.1"}), kAnswered);
  EXPECT_NE(err_.str().find("probing 4 on-link targets by ARP on eth0, 1 by ICMP"),
            std::string::npos) << err_.str();
  const std::string& out = out_.str();
  EXPECT_NE(out.find("MAC                VENDOR\n"), std::string::npos) << out;
  EXPECT_NE(out.find("10.0.0.2  -     1.000 ms  -    arp  00:00:0c:00:00:02  "), std::string::npos) << out;
  EXPECT_NE(out.find("10.0.0.3  -     1.000 ms  -    arp  02:42:ac:11:00:03  private address\n"),
            std::string::npos) << out;
  EXPECT_EQ(out.find("10.0.0.1 "), std::string::npos) << out;  // answers echo, not ARP
  EXPECT_NE(out.find("2 of 5 hosts answered"), std::string::npos) << out;
  EXPECT_EQ(segment_.RequestsTo(0x0A000004), 2);  // one retry
  EXPECT_EQ(packets_.opened, std::vector<int>{2});
  EXPECT_TRUE(privileges_.dropped);
  EXPECT_EQ(privileges_.arp_sockets_before, 1u);

  // Both: ICMP finds .1 too; ARP adds the MACs.
  EXPECT_EQ(RunLan({"-n", "-o", "csv", "--probe", "both", "10.0.0.1-3"}), kAnswered);
  bool ok = false;
  const auto rows = testing::CsvRows(out_.str(), &ok);
  ASSERT_EQ(rows.size(), 3u) << out_.str();
  EXPECT_EQ(rows[0].at("mac"), "");
  EXPECT_EQ(rows[0].at("ttl"), "64");
  EXPECT_EQ(rows[2].at("mac"), "02:42:ac:11:00:03");
  EXPECT_EQ(rows[2].at("vendor"), "private address");
  EXPECT_EQ(rows[2].at("ttl"), "64");  // ICMP answered too, and its figures show
  EXPECT_EQ(rows[2].at("via"), "icmp");

  // ICMP alone: no ARP socket, no MAC column.
  packets_.opened.clear();
  EXPECT_EQ(RunLan({"-n", "--probe", "icmp", "10.0.0.1-4"}), kAnswered);
  EXPECT_TRUE(packets_.opened.empty());
  EXPECT_EQ(out_.str().find("MAC"), std::string::npos) << out_.str();
  EXPECT_EQ(err_.str(), "");
}

// With --all every target has its row in target order: a silent one asked by
// ARP shows the requests it was sent, one beyond the links shows its echo
// requests, and the ARP answers land on their own addresses.
TEST_F(LanRunTest, EveryTargetKeepsItsPlaceAndItsRequestCount) {
  ASSERT_EQ(RunLan({"-n", "--all", "-o", "csv", "10.0.0.1-5", "192.0.2.1"}), kAnswered);
  bool ok = false;
  const auto rows = testing::CsvRows(out_.str(), &ok);
  ASSERT_EQ(rows.size(), 6u) << out_.str();
  const struct {
    const char* address;
    const char* status;
    const char* sent;
    const char* via;
  } want[] = {{"10.0.0.1", "silent", "2", ""},        {"10.0.0.2", "answered", "1", "arp"},
              {"10.0.0.3", "answered", "1", "arp"},   {"10.0.0.4", "silent", "2", ""},
              {"10.0.0.5", "silent", "2", ""},        {"192.0.2.1", "silent", "2", ""}};
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].at("address"), want[i].address) << i;
    EXPECT_EQ(rows[i].at("status"), want[i].status) << i;
    EXPECT_EQ(rows[i].at("sent"), want[i].sent) << i;
    EXPECT_EQ(rows[i].at("via"), want[i].via) << i;
  }
}

// Every kind of run gives up its capabilities once its sockets are open.
TEST_F(LanRunTest, CapabilitiesAreGivenUpOnceTheSocketsAreOpen) {
  interfaces_.links = {{"eth0", 2}};
  const struct {
    std::vector<std::string> args;
    int code;
    int icmp_sockets;
    std::size_t arp_sockets;
  } cases[] = {
      {{"-n", "10.0.0.1-4", "192.0.2.1"}, kAnswered, 1, 1},
      {{"-n", "--probe", "icmp", "10.0.0.1", "fd00::1"}, kAnswered, 2, 0},
      {{"-n", "--link-local", "eth0"}, kNoneAnswered, 1, 0},
  };
  for (const auto& c : cases) {
    privileges_ = FakePrivileges(&packets_, &opener_);
    opener_.opened = 0;
    packets_.opened.clear();
    EXPECT_EQ(RunLan(c.args), c.code) << c.args.back() << "\n" << err_.str();
    EXPECT_TRUE(privileges_.dropped) << c.args.back();
    EXPECT_EQ(privileges_.icmp_sockets_before, c.icmp_sockets) << c.args.back();
    EXPECT_EQ(privileges_.arp_sockets_before, c.arp_sockets) << c.args.back();
  }
}

TEST_F(LanRunTest, WhenArpIsNotAllowedAutoSaysSoAndArpFails) {
  packets_.open_error = EPERM;
  EXPECT_EQ(RunLan({"-n", "10.0.0.1-4"}), kAnswered);
  EXPECT_NE(err_.str().find("probing by ICMP: ARP needs a packet socket"), std::string::npos)
      << err_.str();
  EXPECT_NE(out_.str().find("2 of 4 hosts answered"), std::string::npos) << out_.str();
  EXPECT_EQ(RunLan({"--probe", "arp", "10.0.0.2"}), kNoPermission);
#ifdef _WIN32
  EXPECT_NE(err_.str().find("Windows gives no program"), std::string::npos) << err_.str();
#else
  EXPECT_NE(err_.str().find("CAP_NET_RAW"), std::string::npos) << err_.str();
#endif
  EXPECT_EQ(RunLan({"--check"}), kAnswered);
  EXPECT_NE(out_.str().find("ARP: not available: "), std::string::npos) << out_.str();

  packets_.open_error = 0;
  EXPECT_EQ(RunLan({"--check"}), kAnswered);
  EXPECT_NE(out_.str().find("ARP: available"), std::string::npos) << out_.str();
  const std::pair<std::vector<std::string>, std::string> usage[] = {
      {{"--probe", "arp", "10.0.0.2", "192.0.2.1"}, "'192.0.2.1' is not on a directly connected"},
      {{"--probe", "arp", "10.0.0.6"}, "'10.0.0.6' is not on a directly connected"},
      {{"-I", "wlan0", "10.0.0.2"}, "--interface: no interface named wlan0"},
      {{"--probe", "icmp", "-I", "eth0", "10.0.0.2"}, "no use with --probe icmp"},
  };
  for (const auto& [args, expected] : usage) {
    EXPECT_EQ(RunLan(args), kUsage) << args[0];
    EXPECT_NE(err_.str().find(expected), std::string::npos) << err_.str();
  }
}

}  // namespace
}  // namespace ps::cli
