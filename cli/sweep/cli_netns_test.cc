// The installed program, run in private network namespaces: its output read
// back as CSV and JSON, its exit codes, permissions and Ctrl-C.
#include <gtest/gtest.h>

#include <string>

#include "cli/sweep/test_readers.h"
#include "testsupport/link_lab.h"
#include "testsupport/private_network.h"
#include "testsupport/veth_lab.h"

namespace ps::cli {
namespace {

using ps::testing::ShOutput;

struct Outcome {
  int code;
  std::string out;
  std::string err;
};

// Runs the program through the shell (`prefix` e.g. a setpriv line).
Outcome Program(const std::string& args, const std::string& prefix = "") {
  const std::string err_file = "/tmp/pingsweep-cli-test-err." + std::to_string(getpid());
  Outcome o;
  o.out = ShOutput(prefix + " " PINGSWEEP_CLI " " + args + " 2>" + err_file + "; echo \"#$?\"");
  const std::size_t mark = o.out.rfind('#');
  o.code = std::stoi(o.out.substr(mark + 1));
  o.out.erase(mark);
  o.err = ShOutput("cat " + err_file + "; rm -f " + err_file);
  return o;
}

class CliNetnsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ps::testing::PrivateNetworkSkipReason().empty()) GTEST_SKIP() << "needs a private network";
    lab_ = std::make_unique<ps::testing::VethLab>("10.77.0.0/16", "");
    ASSERT_EQ(lab_->error(), "");
    ASSERT_TRUE(lab_->DropEchoRequests("10.77.2.0/25"));
  }
  std::unique_ptr<ps::testing::VethLab> lab_;
};

TEST_F(CliNetnsTest, CsvAndJsonReadBack) {
  const Outcome csv = Program("-n -a -t 1000 -r 0 --format csv 10.77.2.120-135 10.77.3.1");
  EXPECT_EQ(csv.code, 0) << csv.err;
  bool ok = false;
  const auto rows = ps::cli::testing::CsvRows(csv.out, &ok);
  EXPECT_TRUE(ok) << csv.out;
  ASSERT_EQ(rows.size(), 17u);
  for (const auto& row : rows) {
    const int last = std::stoi(row.at("address").substr(row.at("address").rfind('.') + 1));
    const bool answers = row.at("address") == "10.77.3.1" || last >= 128;
    EXPECT_EQ(row.at("status"), answers ? "answered" : "silent") << row.at("address");
    EXPECT_EQ(row.at("ttl"), answers ? "64" : "");
  }
  EXPECT_NE(csv.err.find("9 of 17 hosts answered"), std::string::npos) << csv.err;

  const Outcome json = Program("-n -t 1000 -r 0 -c 2 -i 100 -o json 10.77.2.120-135");
  EXPECT_EQ(json.code, 0);
  const auto objects = ps::cli::testing::JsonLines(json.out);
  ASSERT_EQ(objects.size(), 8u);
  for (const auto& o : objects) {
    EXPECT_EQ(o["status"], "answered");
    EXPECT_EQ(o["sent"], 2);
    EXPECT_EQ(o["received"], 2);
    EXPECT_EQ(o["loss_percent"], 0.0);
    EXPECT_TRUE(o["name"].is_null());
    EXPECT_GT(o["rtt_max_ms"].get<double>(), 0);
    EXPECT_LE(o["rtt_min_ms"].get<double>(), o["rtt_avg_ms"].get<double>());
  }
}

// Names through the system's resolver (the hosts file here), escaped.
TEST_F(CliNetnsTest, NamesFromTheHostsFile) {
  ASSERT_TRUE(ps::testing::BindHostsFile("10.77.3.1 gateway.lab\n10.77.3.2 bell\x07.lab\n"));
  const Outcome text = Program("-t 200 10.77.3.1-3");
  ps::testing::UnbindHostsFile();
  EXPECT_EQ(text.code, 0) << text.err;
  EXPECT_NE(text.out.find("10.77.3.1  gateway.lab"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("10.77.3.2  bell\\x07.lab"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("10.77.3.3  -"), std::string::npos) << text.out;
  EXPECT_EQ(text.out.find('\x07'), std::string::npos);
}

TEST_F(CliNetnsTest, ExitCodesPermissionsAndInterrupt) {
  EXPECT_EQ(Program("-t 100 -r 0 10.77.2.1-5").code, 1);
  const Outcome usage = Program("10.77.2.1/40");
  EXPECT_EQ(usage.code, 2);
  EXPECT_NE(usage.err.find("'10.77.2.1/40'"), std::string::npos);
  // Output that cannot be written is a failure, said on standard error.
  for (const char* args : {"-n 10.77.3.1 >/dev/full", "-o json -a 10.77.2.1 >/dev/full",
                           "--help >/dev/full"}) {
    const Outcome full = Program(args);
    EXPECT_EQ(full.code, 4) << args;
    EXPECT_NE(full.err.find("pingsweep-cli: cannot write the output: No space left on device\n"),
              std::string::npos) << args << ": " << full.err;
  }

  // An unprivileged user: nothing allowed, then the ping socket.
  const std::string nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups";
  {
    ps::testing::ScopedSysctl closed("net/ipv4/ping_group_range", "1 0");
    const Outcome denied = Program("10.77.3.1", nobody);
    EXPECT_EQ(denied.code, 3);
    EXPECT_NE(denied.err.find("net.ipv4.ping_group_range = 65534 65534' | sudo tee /etc/sysctl.d/"),
              std::string::npos) << denied.err;
    EXPECT_NE(denied.err.find("sudo setcap cap_net_raw+ep " PINGSWEEP_CLI), std::string::npos);
    EXPECT_EQ(Program("--check", nobody).code, 3);
  }
  {
    ps::testing::ScopedSysctl open("net/ipv4/ping_group_range", "0 2147483647");
    const Outcome allowed = Program("-n 10.77.3.1", nobody);
    EXPECT_EQ(allowed.code, 0) << allowed.err;
    EXPECT_NE(allowed.out.find("1 of 1 hosts answered"), std::string::npos);
    const Outcome check = Program("--check", nobody);
    EXPECT_NE(check.out.find("would use the datagram socket"), std::string::npos) << check.out;
  }

  // Ctrl-C once 20 requests have gone (1 s at this rate): sending stops, what
  // was found is printed, exit 130.
  ps::testing::ResetFirewall();
  const std::string out = ps::testing::InterruptOnceCounted(
      PINGSWEEP_CLI " -n --rate 20 10.77.2.126-250", "echo_requests", 20);
  EXPECT_NE(out.find("#130"), std::string::npos) << out;
  EXPECT_NE(out.find("10.77.2.128 "), std::string::npos) << out;
  EXPECT_NE(out.find("(interrupted)"), std::string::npos) << out;
  EXPECT_EQ(out.find("10.77.2.250 "), std::string::npos) << out;
}

// One Ethernet segment: IPv4 and IPv6 targets in one run, unprivileged on
// the ping sockets, and --link-local listing the segment's IPv6 hosts.
TEST(CliLinkLabTest, MixedFamiliesAndLinkLocal) {
  if (!ps::testing::PrivateNetworkSkipReason().empty()) GTEST_SKIP() << "needs a private network";
  ps::testing::ScopedSysctl open("net/ipv4/ping_group_range", "0 2147483647");
  ps::testing::LinkLab lab(4);
  ASSERT_EQ(lab.error(), "");
  ASSERT_EQ(lab.Peer(4, "nft 'add table inet t; add chain inet t in { type filter hook input "
                        "priority 0; }; add rule inet t in icmp type echo-request drop; "
                        "add rule inet t in icmpv6 type echo-request drop'"), 0);
  const std::string nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups";

  const Outcome mixed = Program("-n -a -t 200 -r 0 -o csv fd78::1-4 10.78.0.1-4", nobody);
  EXPECT_EQ(mixed.code, 0) << mixed.err;
  bool ok = false;
  const auto rows = ps::cli::testing::CsvRows(mixed.out, &ok);
  ASSERT_TRUE(ok) << mixed.out;
  ASSERT_EQ(rows.size(), 8u);
  const char* order[] = {"10.78.0.1", "10.78.0.2", "10.78.0.3", "10.78.0.4",
                         "fd78::1",   "fd78::2",   "fd78::3",   "fd78::4"};
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].at("address"), order[i]);
    EXPECT_EQ(rows[i].at("status"), i % 4 == 3 ? "silent" : "answered") << order[i];
    EXPECT_EQ(rows[i].at("ttl"), i % 4 == 3 ? "" : "64") << order[i];
  }
  EXPECT_NE(mixed.err.find("6 of 8 hosts answered"), std::string::npos) << mixed.err;

  const Outcome json = Program("-n -t 300 -o json --link-local=psbr", nobody);
  EXPECT_EQ(json.code, 0) << json.err;
  const auto hosts = ps::cli::testing::JsonLines(json.out);
  ASSERT_EQ(hosts.size(), 3u) << json.out;
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    EXPECT_EQ(hosts[i]["address"], "fe80::" + std::to_string(i + 1) + "%psbr");
    EXPECT_EQ(hosts[i]["status"], "answered");
    EXPECT_EQ(hosts[i]["ttl"], 64);
    EXPECT_EQ(hosts[i]["mac"], "02:00:00:00:00:0" + std::to_string(i + 1));
    EXPECT_EQ(hosts[i]["vendor"], "private address");
  }
  EXPECT_NE(json.err.find("3 hosts answered on psbr"), std::string::npos) << json.err;

  const Outcome text = Program("-n -t 300 --link-local psbr");
  EXPECT_EQ(text.code, 0) << text.err;
  EXPECT_NE(text.out.find("fe80::2%psbr  -"), std::string::npos) << text.out;

  // IPv6 hosts get their names, link-local ones too (the hosts file here).
  ASSERT_TRUE(ps::testing::BindResolverFiles(
      "fe80::2 peer2.lab\nfd78::1 peer1.lab\nfd78::3 peer3.lab\n10.78.0.1 v4peer1.lab\n"));
  const Outcome named = Program("-t 300 --link-local psbr");
  const Outcome named_v6 = Program("-t 300 -r 0 fd78::1-3 10.78.0.1");
  ps::testing::UnbindResolverFiles();
  EXPECT_EQ(named.code, 0) << named.err;
  EXPECT_NE(named.out.find("fe80::1%psbr  -  "), std::string::npos) << named.out;
  EXPECT_NE(named.out.find("fe80::2%psbr  peer2.lab  "), std::string::npos) << named.out;
  EXPECT_EQ(named_v6.code, 0) << named_v6.err;
  for (const char* line : {"10.78.0.1  v4peer1.lab  ", "fd78::1    peer1.lab    ",
                           "fd78::2    -            ", "fd78::3    peer3.lab    "})
    EXPECT_NE(named_v6.out.find(line), std::string::npos) << line << "\n" << named_v6.out;
  const Outcome unknown = Program("--link-local nosuch0");
  EXPECT_EQ(unknown.code, 2);
  EXPECT_NE(unknown.err.find("'nosuch0'"), std::string::npos) << unknown.err;
  const Outcome v6_large = Program("fd78::/64");
  EXPECT_EQ(v6_large.code, 2);
  EXPECT_NE(v6_large.err.find("'fd78::/64': an IPv6 target holds at most 65536"), std::string::npos)
      << v6_large.err;
}

// Both kinds of run give up their capabilities once their sockets are open,
// as root here: seen in /proc while they still wait for replies.
TEST(CliLinkLabTest, CapabilitiesAreGivenUpWhileWaitingForReplies) {
  if (!ps::testing::PrivateNetworkSkipReason().empty()) GTEST_SKIP() << "needs a private network";
  ps::testing::LinkLab lab(1);
  ASSERT_EQ(lab.error(), "");
  for (const std::string args :
       {"-n -t 9000 -r 0 --probe icmp 10.78.0.9", "-n -t 9000 --link-local psbr"}) {
    const std::string status = ShOutput(
        "(" PINGSWEEP_CLI " " + args +
        " >/dev/null 2>&1 & pid=$!; for i in $(seq 40); do "
        "grep -Eq '^CapEff:\\s+0+$' /proc/$pid/status && break; sleep 0.1; done; "
        "grep -E '^(CapPrm|CapEff|CapBnd|NoNewPrivs):' /proc/$pid/status; kill $pid; wait $pid)");
    for (const char* line : {"CapPrm:\t0000000000000000\n", "CapEff:\t0000000000000000\n",
                             "CapBnd:\t0000000000000000\n", "NoNewPrivs:\t1\n"})
      EXPECT_NE(status.find(line), std::string::npos) << args << ": " << line << status;
  }
}

}  // namespace
}  // namespace ps::cli

namespace ps::cli {
namespace {

// An on-link lab: the far side owns 10.78.0.0/24 behind a MAC of a known
// vendor, and drops echo requests to 10.78.0.0/25.
class CliLanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ps::testing::PrivateNetworkSkipReason().empty()) GTEST_SKIP() << "needs a private network";
    lab_ = std::make_unique<ps::testing::VethLab>("10.78.0.0/24", "10.78.1.254/16");
    ASSERT_EQ(lab_->error(), "");
    ASSERT_EQ(lab_->Far("ip link set psv1 address 00:00:0c:12:34:56"), 0);
    ASSERT_TRUE(lab_->DropEchoRequests("10.78.0.0/25"));
  }
  std::unique_ptr<ps::testing::VethLab> lab_;
};

TEST_F(CliLanTest, ArpFindsHostsThatDropEchoRequestsWithTheirVendor) {
  const Outcome arp = Program("-n -t 200 -r 0 -o csv 10.78.0.100-139");
  EXPECT_EQ(arp.code, 0) << arp.err;
  EXPECT_NE(arp.err.find("probing 40 on-link targets by ARP on psv0"), std::string::npos) << arp.err;
  bool ok = false;
  const auto rows = ps::cli::testing::CsvRows(arp.out, &ok);
  ASSERT_EQ(rows.size(), 40u) << arp.out;
  for (const auto& row : rows) {
    EXPECT_EQ(row.at("status"), "answered") << row.at("address");
    EXPECT_EQ(row.at("mac"), "00:00:0c:12:34:56");
    EXPECT_EQ(row.at("vendor"), "Cisco Systems, Inc");  // from the installed registries
    EXPECT_EQ(row.at("ttl"), "");
  }

  // ICMP alone: only the half that answers echo requests, MACs from the
  // neighbour table.
  const Outcome icmp = Program("-n -t 200 -r 0 --probe icmp 10.78.0.100-139");
  EXPECT_EQ(icmp.code, 0) << icmp.err;
  EXPECT_NE(icmp.out.find("12 of 40 hosts answered"), std::string::npos) << icmp.out;
  EXPECT_NE(icmp.out.find("\n10.78.0.128  -     "), std::string::npos) << icmp.out;
  EXPECT_NE(icmp.out.find("MAC                VENDOR"), std::string::npos) << icmp.out;
  EXPECT_NE(icmp.out.find("00:00:0c:12:34:56  Cisco Systems, Inc\n"), std::string::npos) << icmp.out;

  const Outcome both = Program("-n -t 200 -r 0 -o json --probe both 10.78.0.126-129");
  const auto objects = ps::cli::testing::JsonLines(both.out);
  ASSERT_EQ(objects.size(), 4u) << both.out << both.err;
  for (const auto& o : objects) {
    EXPECT_EQ(o["mac"], "00:00:0c:12:34:56");
    EXPECT_EQ(o["ttl"].is_null(), o["address"] < "10.78.0.128") << o.dump();
  }
}

TEST_F(CliLanTest, WithoutCapNetRawAutoFallsBackAndArpIsRefused) {
  const std::string nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups";
  ps::testing::ScopedSysctl open("net/ipv4/ping_group_range", "0 2147483647");
  const Outcome fallback = Program("-n -t 200 -r 0 10.78.0.120-135", nobody);
  EXPECT_EQ(fallback.code, 0) << fallback.err;
  EXPECT_NE(fallback.err.find("probing by ICMP: ARP needs a packet socket"), std::string::npos)
      << fallback.err;
  EXPECT_NE(fallback.out.find("8 of 16 hosts answered"), std::string::npos) << fallback.out;

  const Outcome refused = Program("--probe arp 10.78.0.120", nobody);
  EXPECT_EQ(refused.code, 3);
  EXPECT_NE(refused.err.find("CAP_NET_RAW"), std::string::npos) << refused.err;
  EXPECT_NE(Program("--check", nobody).out.find("ARP: not available"), std::string::npos);
  EXPECT_NE(Program("--check").out.find("ARP: available"), std::string::npos);

  const Outcome off_link = Program("--probe arp 10.78.0.120 10.99.9.9");
  EXPECT_EQ(off_link.code, 2);
  EXPECT_NE(off_link.err.find("'10.99.9.9' is not on a directly connected subnet"),
            std::string::npos) << off_link.err;
  const Outcome no_such = Program("-I nosuch0 10.78.0.120");
  EXPECT_EQ(no_such.code, 2);
  EXPECT_NE(no_such.err.find("no interface named nosuch0"), std::string::npos) << no_such.err;
}

}  // namespace
}  // namespace ps::cli
