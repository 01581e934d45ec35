// pingsweep-cli's TCP probes in private network namespaces, against a far
// side whose hosts all drop ping: some listen on 443, some reset it, some
// drop everything, some sit behind a filter that passes only ACKs. Raw
// probes as root, connect() as nobody, IPv4 and IPv6; no connection is left
// half open on the far side.
#include <gtest/gtest.h>

#include <string>

#include "cli/sweep/test_readers.h"
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

Outcome Program(const std::string& args, const std::string& prefix = "") {
  const std::string err_file = "/tmp/pingsweep-cli-tcp-err." + std::to_string(getpid());
  Outcome o;
  o.out = ShOutput(prefix + " " PINGSWEEP_CLI " " + args + " 2>" + err_file + "; echo \"#$?\"");
  const std::size_t mark = o.out.rfind('#');
  o.code = std::stoi(o.out.substr(mark + 1));
  o.out.erase(mark);
  o.err = ShOutput("cat " + err_file + "; rm -f " + err_file);
  return o;
}

const char kNobody[] = "setpriv --reuid=65534 --regid=65534 --clear-groups";

// The far side's hosts, by their last part (IPv4: 10.77.1.N; IPv6:
// fd77:1::N, hexadecimal): 0-15 listen on 443, 16-31 reset it, 32-47 drop
// everything, 48-63 pass only ACKs. All drop echo requests.
class TcpLabTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ps::testing::PrivateNetworkSkipReason().empty()) GTEST_SKIP() << "needs a private network";
    lab_ = std::make_unique<ps::testing::VethLab>("10.77.0.0/16", "");
    ASSERT_EQ(lab_->error(), "");
    ASSERT_EQ(lab_->Far("ip -6 addr add fd77::2/64 dev psv1 nodad && "
                        "ip -6 route add local fd77:1::/112 dev lo"), 0);
    ASSERT_EQ(ps::testing::Sh("ip -6 addr add fd77::1/64 dev psv0 nodad && "
                              "ip -6 route add fd77:1::/112 via fd77::2"), 0);
    for (const char* rule : {
             "ip daddr 10.77.1.32/28 drop", "ip6 daddr fd77:1::20/124 drop",
             "ip daddr 10.77.1.0/26 icmp type echo-request drop",
             "ip6 daddr fd77:1::/112 icmpv6 type echo-request drop",
             "ip daddr 10.77.1.16/28 tcp dport 443 reject with tcp reset",
             "ip6 daddr fd77:1::10/124 tcp dport 443 reject with tcp reset",
             "ip daddr 10.77.1.48/28 tcp flags & syn == syn drop",
             "ip6 daddr fd77:1::30/124 tcp flags & syn == syn drop"}) {
      ASSERT_EQ(lab_->Far(std::string("nft add rule inet lab in '") + rule + "'"), 0) << rule;
    }
    ASSERT_TRUE(lab_->Listen(443));
  }

  // Connections the far side holds, by state, e.g. "syn-recv".
  int FarConnections(const std::string& state) const {
    const std::string out = ShOutput("nsenter -t " + std::to_string(lab_->far_pid()) +
                                     " -n ss -Htan state " + state + " | wc -l");
    return std::stoi(out);
  }

  // The rows of a CSV run, checked host by host: `found` says which blocks
  // of 16 answer (by which probe).
  static void ExpectFound(const Outcome& o, const std::vector<std::string>& via_of_block) {
    bool ok = false;
    const auto rows = ps::cli::testing::CsvRows(o.out, &ok);
    ASSERT_TRUE(ok) << o.out;
    ASSERT_EQ(rows.size(), 64u) << o.err;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const std::string& via = via_of_block[i / 16];
      SCOPED_TRACE(rows[i].at("address"));
      EXPECT_EQ(rows[i].at("status"), via.empty() ? "silent" : "answered");
      if (via != "*") {
        EXPECT_EQ(rows[i].at("via"), via);
      }
      if (!via.empty()) {
        EXPECT_NE(rows[i].at("rtt_ms"), "");
      }
    }
  }

  std::unique_ptr<ps::testing::VethLab> lab_;
};

TEST_F(TcpLabTest, RawProbesFindWhatListensOrResetsAndLeaveNothingHalfOpen) {
  const std::string common = "-n -a -o csv -t 500 -r 1 ";
  for (const char* targets : {"10.77.1.0-63", "fd77:1::-fd77:1::3f"}) {
    SCOPED_TRACE(targets);
    const Outcome syn = Program(common + "--probe icmp,tcp:443 " + targets);
    EXPECT_EQ(syn.code, 0) << syn.err;
    ExpectFound(syn, {"tcp:443", "tcp:443", "", ""});
    EXPECT_NE(syn.err.find("32 of 64 hosts answered"), std::string::npos) << syn.err;
    // ACKs pass the filter; the listening hosts answer both kinds.
    const Outcome ack = Program(common + "--probe tcp:443,tcp-ack:443 " + targets);
    EXPECT_EQ(ack.code, 0) << ack.err;
    ExpectFound(ack, {"*", "*", "", "tcp-ack:443"});
  }
  EXPECT_EQ(FarConnections("syn-recv"), 0);
  EXPECT_EQ(FarConnections("established"), 0);
  EXPECT_EQ(Program("-n --probe tcp:443 10.77.1.32-47").code, 1);

  // The check above sees a half-open connection when there is one: with our
  // resets dropped on the way out, the listening hosts keep theirs.
  ASSERT_EQ(ps::testing::Sh("nft add table inet mine && nft add chain inet mine out "
                            "'{ type filter hook output priority 0; }' && "
                            "nft add rule inet mine out tcp flags \\& rst == rst drop"), 0);
  EXPECT_EQ(Program("-n -r 0 --probe tcp:443 10.77.1.0-15").code, 0);
  EXPECT_EQ(FarConnections("syn-recv"), 16);
  ps::testing::Sh("nft delete table inet mine");
}

TEST_F(TcpLabTest, WithoutCapNetRawConnectFindsTheSameAndAckProbesAreRefused) {
  for (const char* targets : {"10.77.1.0-63", "fd77:1::-fd77:1::3f"}) {
    SCOPED_TRACE(targets);
    const Outcome o = Program(std::string("-n -a -o csv -t 500 --probe tcp:443 ") + targets, kNobody);
    EXPECT_EQ(o.code, 0) << o.err;
    EXPECT_NE(o.err.find("probing TCP ports by connect()"), std::string::npos) << o.err;
    ExpectFound(o, {"tcp:443", "tcp:443", "", ""});
  }
  // Each connection was reset at once: none waits on the far side.
  EXPECT_EQ(FarConnections("established"), 0);
  EXPECT_EQ(FarConnections("close-wait"), 0);
  const Outcome ack = Program("--probe tcp-ack 10.77.1.48", kNobody);
  EXPECT_EQ(ack.code, 3);
  EXPECT_NE(ack.err.find("tcp-ack probes need a raw socket"), std::string::npos) << ack.err;
}

// connect() attempts stay within the open-file limit: its soft value is
// raised as far as the hard one allows while the sweep runs, and a limit
// that cannot be raised still finds every host, with no attempt failed.
TEST_F(TcpLabTest, ConnectKeepsWithinTheOpenFileLimitRaisingItToTheHardOne) {
  const struct {
    int soft, hard, while_running;
  } cases[] = {{50, 300, 300}, {24, 24, 24}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.soft) + "/" + std::to_string(c.hard));
    const std::string run =
        "(ulimit -Sn " + std::to_string(c.soft) + " && ulimit -Hn " + std::to_string(c.hard) +
        " && exec " + kNobody + " " PINGSWEEP_CLI " -n -a -o csv -t 1000 --probe tcp:443 "
        "10.77.1.0-63 >/tmp/psc-tcp-fd.$$ 2>/dev/null) & pid=$!; "
        // The limit while it runs: watched until it moves or the run ends (a
        // fixed wait missed the raise on a slow, loaded machine).
        "last=; for i in $(seq 400); do grep -qs '^State:.*Z' /proc/$pid/status && break; v=$(grep 'Max open files' /proc/$pid/limits "
        "2>/dev/null | tr -s ' ' | cut -d' ' -f4); [ -n \"$v\" ] || break; last=$v; "
        "[ \"$v\" != " + std::to_string(c.soft) + " ] && break; sleep 0.025; done; "
        "echo \"$last\"; wait $pid; "
        "echo \"#$?\"; cat /tmp/psc-tcp-fd.$$; rm -f /tmp/psc-tcp-fd.$$";
    Outcome o;
    o.out = ShOutput(run);
    const std::size_t mark = o.out.find('#');
    ASSERT_NE(mark, std::string::npos) << o.out;
    EXPECT_EQ(o.out.substr(0, mark), std::to_string(c.while_running) + "\n");
    EXPECT_EQ(o.out.substr(mark, 3), "#0\n");
    o.out.erase(0, o.out.find('\n', mark) + 1);
    ExpectFound(o, {"tcp:443", "tcp:443", "", ""});
  }
}

TEST_F(TcpLabTest, CtrlCStopsATcpSweepAndPrintsWhatItFound) {
  // Interrupted once 30 probes have gone (1.5 s at this rate).
  ps::testing::ResetFirewall();
  ps::testing::CountPackets("syn443", "tcp dport 443");
  const std::string out = ps::testing::InterruptOnceCounted(
      PINGSWEEP_CLI " -n --rate 20 --probe tcp:443 10.77.1.0-15 10.77.2.0-250", "syn443", 30);
  EXPECT_NE(out.find("#130"), std::string::npos) << out;
  EXPECT_NE(out.find("10.77.1.1 "), std::string::npos) << out;
  EXPECT_NE(out.find("(interrupted)"), std::string::npos) << out;
}

}  // namespace
}  // namespace ps::cli
