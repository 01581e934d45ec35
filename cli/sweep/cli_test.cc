// pingsweep-cli's parts over fakes: options, output formats read back, the
// permission report. Whole runs are in run_test.cc.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "cli/sweep/check.h"
#include "cli/sweep/options.h"
#include "cli/sweep/output.h"
#include "cli/sweep/test_fixtures.h"
#include "cli/sweep/test_options.h"
#include "cli/sweep/test_readers.h"
#include "core/terminal_text.h"
#include "platform/inet/sweep_fakes.h"
#include "sweep/targets.h"

namespace ps::cli {
namespace {

using testing::Parse;

TEST(OptionsTest, ParsesEveryOptionAndNamesWhatIsWrong) {
  {
    const Result<Options> r =
        Parse({"-n",  "--timeout", "250",         "-r0", "--count=3", "-i",
               "200", "--rate",    "max",         "-a",  "-A",        "--allow-large",
               "-o",  "json",      "10.0.0.0/24", "-x",  "10.0.0.7",  "--exclude=10.0.0.9",
               "-f",  "hosts.txt", "--",          "-"});
    ASSERT_EQ(r.status().message(), "");
    const Options& o = r.value();
    EXPECT_TRUE(o.numeric && o.all && o.all_addresses && o.allow_large);
    EXPECT_EQ(o.timeout_ms, 250);
    EXPECT_EQ(o.retries, 0);
    EXPECT_EQ(o.count, 3);
    EXPECT_EQ(o.interval_ms, 200);
    EXPECT_EQ(o.rate, 0);
    EXPECT_EQ(o.format, Format::kJson);
    EXPECT_EQ(o.targets, (std::vector<std::string>{"10.0.0.0/24", "-"}));
    EXPECT_EQ(o.excludes, (std::vector<std::string>{"10.0.0.7", "10.0.0.9"}));
    EXPECT_EQ(o.files, (std::vector<std::string>{"hosts.txt"}));
  }
  const Options defaults = Parse({}).value();
  EXPECT_EQ(defaults.timeout_ms, 500);
  EXPECT_EQ(defaults.retries, 1);
  EXPECT_EQ(defaults.count, 1);
  EXPECT_EQ(defaults.rate, 10000);
  EXPECT_EQ(defaults.format, Format::kText);
  EXPECT_TRUE(Parse({"--check"}).value().check);
  EXPECT_TRUE(Parse({"-h"}).value().help);
  EXPECT_TRUE(Parse({"--version"}).value().version);
  EXPECT_EQ(Parse({"-R", "2500"}).value().rate, 2500);
  EXPECT_EQ(defaults.probe, ProbeMethod::kAuto);
  EXPECT_EQ(Parse({"--probe", "arp"}).value().probe, ProbeMethod::kArp);
  EXPECT_EQ(Parse({"--probe=both"}).value().probe, ProbeMethod::kBoth);
  EXPECT_EQ(Parse({"--probe", "icmp"}).value().probe, ProbeMethod::kIcmp);
  EXPECT_EQ(Parse({"-I", "eth1"}).value().interface, "eth1");

  const std::pair<std::vector<std::string>, std::string> errors[] = {
      {{"--timeout", "0"}, "--timeout: '0'"},
      {{"-t", "5s"}, "-t: '5s'"},
      {{"--retries=-1"}, "--retries: '-1'"},
      {{"-c", "0"}, "-c: '0'"},
      {{"--rate", "fast"}, "--rate: 'fast'"},
      {{"--interval=1s"}, "--interval: '1s'"},
      {{"--format", "xml"}, "--format: 'xml'"},
      {{"--probe", "udp"}, "--probe: 'udp'"},
      {{"--interface="}, "--interface: needs an interface name"},
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"-Z"}, "unknown option '-Z'"},
      {{"10.0.0.1", "-t"}, "-t: needs a value"},
      // What was typed is named escaped.
      {{"--format", "x\x1B[2J"}, "--format: 'x\\x1B[2J' is not"},
      {{"-c", "\xE2\x80\xAE" "1"}, "-c: '\\xE2\\x80\\xAE1' is not"},
      {{"--bo\x1Bgus"}, "unknown option '--bo\\x1Bgus'"},
      {{"--bogus=\x1B"}, "unknown option '--bogus=\\x1B'"},
      {{"--probe", "tcp:8\x1B[0"}, "'8\\x1B[0' is not a port"},
      {{"--probe", "icmp,ud\x1Bp"}, "'ud\\x1Bp' is not a probe kind"},
  };
  for (const auto& [args, expected] : errors) {
    const Result<Options> r = Parse(args);
    EXPECT_NE(r.status().message().find(expected), std::string::npos)
        << args[0] << ": " << r.status().message();
    EXPECT_EQ(r.status().message().find('\x1B'), std::string::npos) << r.status().message();
  }
}

TEST(OptionsTest, HelpHasTheSectionsAManPageNeeds) {
  const std::string help = HelpText("pingsweep-cli");
  for (const std::string& part : std::vector<std::string>{
           "Usage: pingsweep-cli [OPTION]... [TARGET]...", "\nOptions:\n", "--timeout=MS",
           "--rate=PPS", "--format=FORMAT", "\nExit status:\n", "\nExamples:\n", "loss_percent",
           "line of at most " + std::to_string(sweep::kMaxLineBytes) + " bytes"})
    EXPECT_NE(help.find(part), std::string::npos) << part;
  EXPECT_EQ(VersionText().rfind("pingsweep-cli ", 0), 0u);
}

// The times and the loss, on the usual line's path and on the general one (a
// name to quote), for one answer and for counts with some lost: as "%.3f"
// and "%.0f" write them.
TEST(OutputTest, CsvTimesAndLossAsPrintfWritesThem) {
  const struct {
    int sent, received;
    std::int64_t min_ns, sum_ns, max_ns;
    const char* loss;
  } cases[] = {
      {1, 1, 1234567, 1234567, 1234567, "0"},  {3, 2, 1000400, 3000900, 2000500, "33"},
      {3, 1, 500, 500, 500, "67"},             {3, 3, 900000, 3000000, 1100000, "0"},
      {4, 3, 700000, 2100000, 700000, "25"},   {2, 0, 0, 0, 0, "100"},
  };
  const auto ms = [](std::int64_t ns) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.3f", static_cast<double>(ns) / 1e6);
    return std::string(text);
  };
  for (const auto& c : cases) {
    for (const char* name : {"plain.lan", "needs \"quotes\""}) {
      HostLine h;
      h.name = name;
      h.result.address = IpAddress::V4(0x0A000001);
      h.result.outcome = c.received > 0 ? sweep::Outcome::kAnswered : sweep::Outcome::kSilent;
      h.result.sent = c.sent;
      h.result.received = c.received;
      h.result.rtt_min_ns = c.min_ns;
      h.result.rtt_sum_ns = c.sum_ns;
      h.result.rtt_max_ns = c.max_ns;
      std::ostringstream csv;
      WriteHosts(csv, Format::kCsv, std::vector<HostLine>{h}, 1);
      bool ok = false;
      const auto rows = testing::CsvRows(csv.str(), &ok);
      ASSERT_TRUE(ok && rows.size() == 1) << csv.str();
      const std::string avg = c.received > 0 ? ms(c.sum_ns / c.received) : "";
      SCOPED_TRACE(csv.str());
      EXPECT_EQ(rows[0].at("name"), name);
      EXPECT_EQ(rows[0].at("rtt_ms"), avg);
      EXPECT_EQ(rows[0].at("rtt_avg_ms"), avg);
      EXPECT_EQ(rows[0].at("rtt_min_ms"), c.received > 0 ? ms(c.min_ns) : "");
      EXPECT_EQ(rows[0].at("rtt_max_ms"), c.received > 0 ? ms(c.max_ns) : "");
      EXPECT_EQ(rows[0].at("loss_percent"), c.loss);
    }
  }
}

TEST(OutputTest, CsvAndJsonReadBack) {
  std::vector<HostLine> hosts = SampleHosts();
  // A line longer than a usual one is made in the output itself; the lines
  // before and after it stay whole.
  HostLine& long_name = hosts.emplace_back(hosts[0]);
  long_name.result.address = IpAddress::V4(0x0A00000C);
  for (int i = 0; i < 700; ++i) long_name.name += "a,\"b";
  hosts.emplace_back(hosts[0]).result.address = IpAddress::V4(0x0A00000D);
  std::ostringstream csv, json;
  WriteHosts(csv, Format::kCsv, hosts, 1);
  WriteHosts(json, Format::kJson, hosts, 1);
  bool ok = false;
  const auto rows = testing::CsvRows(csv.str(), &ok);
  EXPECT_TRUE(ok);
  const auto objects = testing::JsonLines(json.str());
  ASSERT_EQ(rows.size(), hosts.size());
  ASSERT_EQ(objects.size(), hosts.size());
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(rows[i].at("address"), hosts[i].result.address.ToString());
    EXPECT_EQ(objects[i]["address"], hosts[i].result.address.ToString());
    EXPECT_EQ(rows[i].at("name"), EscapeText(hosts[i].name));
    if (hosts[i].name.empty()) {
      EXPECT_TRUE(objects[i]["name"].is_null());
    } else {
      EXPECT_EQ(objects[i]["name"], EscapeText(hosts[i].name));
    }
    EXPECT_EQ(rows[i].at("status"), StatusWord(hosts[i].result));
    EXPECT_EQ(objects[i]["status"], StatusWord(hosts[i].result));
    EXPECT_EQ(objects[i]["sent"], hosts[i].result.sent);
    EXPECT_EQ(rows[i].at("sent"), std::to_string(hosts[i].result.sent));
  }
  EXPECT_EQ(rows[0].at("rtt_ms"), "1.235");
  EXPECT_DOUBLE_EQ(objects[0]["rtt_ms"].get<double>(), 1.234567);
  EXPECT_EQ(rows[0].at("ttl"), "64");
  EXPECT_EQ(rows[2].at("rtt_ms"), "");
  EXPECT_TRUE(objects[2]["rtt_ms"].is_null());
  EXPECT_EQ(rows[2].at("loss_percent"), "100");
  EXPECT_EQ(rows[3].at("error"), "host unreachable from 10.0.0.254");
  EXPECT_EQ(objects[3]["error"], "host unreachable from 10.0.0.254");
  // The names' control and bidirectional characters never reach the output.
  for (const std::string& written : {json.str(), csv.str()}) {
    EXPECT_EQ(written.find('\x1B'), std::string::npos) << written;
    EXPECT_EQ(written.find("\xE2\x80\xAE"), std::string::npos) << written;
  }
}

TEST(OutputTest, TextColumnsAlign) {
  std::vector<HostLine> hosts = SampleHosts();
  std::ostringstream text;
  WriteHosts(text, Format::kText, hosts, 1);
  std::vector<std::string> lines;
  std::istringstream in(text.str());
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), hosts.size() + 1);  // header + one a host
  EXPECT_EQ(lines[0].rfind("ADDRESS", 0), 0u);
  const std::size_t rtt = lines[0].find("RTT");
  // The first name's é is two bytes in one column.
  EXPECT_EQ(lines[1].substr(rtt + 1, 9), "1.235 ms ");
  EXPECT_EQ(lines[3].substr(rtt, 2), "- ");
  EXPECT_NE(lines[4].find("host unreachable from 10.0.0.254"), std::string::npos);
  EXPECT_EQ(text.str().find('\x1B'), std::string::npos);
  EXPECT_EQ(text.str().find("\xE2\x80\xAE"), std::string::npos);
  // An IPv6 link-local host's zone is an interface name: escaped in every format.
  hosts.resize(1);
  hosts[0].result.address = *IpAddress::Parse("fe80::1");
  hosts[0].zone = "ev\x1B]0;x\x07il";
  for (const Format format : {Format::kText, Format::kCsv, Format::kJson}) {
    std::ostringstream written;
    WriteHosts(written, format, hosts, 1);
    const std::string shown =
        format == Format::kJson
            ? testing::JsonLines(written.str()).at(0)["address"].get<std::string>()
            : written.str();
    EXPECT_NE(shown.find("fe80::1%ev\\x1B]0;x\\x07il"), std::string::npos) << written.str();
    EXPECT_EQ(written.str().find('\x1B'), std::string::npos) << written.str();
  }
  sweep::SweepSummary summary;
  summary.answered = 2;
  summary.targets = 254;
  summary.elapsed_ns = 520'000'000;
  EXPECT_EQ(SummaryLine(summary), "2 of 254 hosts answered in 0.52 s");
}

// Every cell starts in its header's column, whatever the cells hold: wide,
// escaped and plain names and vendors, MACs, kinds, an error, min/avg/max.
TEST(OutputTest, TextCellsStartUnderTheirHeaders) {
  std::vector<HostLine> hosts = SampleHosts();
  hosts[0].mac = "02:00:00:00:00:01";
  hosts[0].vendor = "\xE6\xA0\xAA\xE5\xBC\x8F Wide";  // two wide characters
  hosts[1].vendor = "Plain Vendor Inc";
  hosts[1].kind = "printer";
  hosts[2].mac = "02:00:00:00:00:0a";
  hosts[2].vendor = "tab\there";
  hosts[0].result.via = hosts[1].result.via = sweep::Via::kIcmp;
  hosts[2].result.via = sweep::Via::kArp;  // never answered: "-"
  for (const int count : {1, 3}) {
    std::ostringstream text;
    WriteHosts(text, Format::kText, hosts, count);
    std::vector<std::string> lines;
    std::istringstream in(text.str());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), hosts.size() + 1) << text.str();
    std::vector<std::size_t> starts = {0};  // columns are two spaces apart at least
    for (std::size_t p = 2; p < lines[0].size(); ++p) {
      if (lines[0][p] != ' ' && lines[0][p - 1] == ' ' && lines[0][p - 2] == ' ') starts.push_back(p);
    }
    ASSERT_EQ(starts.size(), count > 1 ? 10u : 9u) << lines[0];  // LOSS with min/avg/max only
    for (std::size_t i = 1; i < lines.size(); ++i) {
      for (const std::size_t column : starts) {
        std::size_t at = 0;
        while (at < lines[i].size() && DisplayWidth(std::string_view(lines[i]).substr(0, at)) < column) ++at;
        SCOPED_TRACE(lines[i]);
        ASSERT_EQ(DisplayWidth(std::string_view(lines[i]).substr(0, at)), column);
        EXPECT_NE(lines[i][at], ' ');
        if (column > 0) {
          EXPECT_EQ(lines[i].substr(at - 2, 2), "  ");
        }
      }
    }
  }
}

TEST(CheckTest, ReportsTheSocketAndTheExactFixes) {
  platform::FakeIcmpOpener opener;
  opener.facts.group_id = 1000;
  opener.facts.group_name = "staff";
  opener.facts.program_path = "/usr/local/bin/pingsweep-cli";
  struct Case {
    bool datagram, raw;
    std::string range;
    std::vector<std::string> expected;
    bool usable;
    bool v6 = true;
  };
  const Case cases[] = {
      {true, false, "0 2147483647",
       {"would use the datagram socket", "is within",
        "ICMPv6 datagram (ping) socket: allowed: group 1000 (staff) is within",
        "IPv6 targets would use the ICMPv6 datagram socket"},
       true},
      {false, true, "1 0",
       {"would use the raw socket", "is outside", "ICMPv6 datagram (ping) socket: not allowed",
        "IPv6 targets would use the raw ICMPv6 socket"},
       true},
      {false, false, "1 0",
       {"net.ipv4.ping_group_range = 1000 1000' | sudo tee /etc/sysctl.d/",
        "sudo setcap cap_net_raw+ep /usr/local/bin/pingsweep-cli", "group 1000 (staff)",
        "raw ICMPv6 socket: not allowed: needs CAP_NET_RAW",
        "IPv6 targets cannot send ICMPv6 echo requests"},
       false},
      {false, false, "0 999", {"net.ipv4.ping_group_range = 0 1000'"}, false},
      // Without IPv6 the report says so and the IPv4 verdict stands.
      {true, false, "0 2147483647",
       {"would use the datagram socket", "ICMPv6: IPv6 not available"}, true, false},
      {false, false, "1 0", {"ICMPv6: IPv6 not available", "sudo setcap"}, false, false},
  };
  for (const Case& c : cases) {
    opener.datagram_allowed = c.datagram;
    opener.raw_allowed = c.raw;
    opener.v6_available = c.v6;
    opener.facts.ping_group_range = c.range;
    bool usable = !c.usable;
    const std::string report = CheckReport(&opener, &usable);
    EXPECT_EQ(usable, c.usable) << report;
    for (const std::string& e : c.expected) EXPECT_NE(report.find(e), std::string::npos) << e << "\n" << report;
    // The fixes are given once at most; no IPv6 lines when IPv6 is missing.
    const std::size_t fixes = report.find("To allow it");
    EXPECT_EQ(fixes == std::string::npos ? fixes : report.find("To allow it", fixes + 1), std::string::npos);
    EXPECT_EQ(report.find("ICMPv6 datagram") == std::string::npos, !c.v6) << report;
  }
}

// Under Windows's rules the report speaks of the echo service and of
// administrators, never of the group range or setcap.
TEST(CheckTest, UnderWindowsRulesItAdvisesAnAdministrator) {
  platform::FakeIcmpOpener opener;
  opener.facts.rules = platform::IcmpPermissionFacts::Rules::kWindows;
  opener.facts.program_path = "C:\\Program Files\\PingSweep\\pingsweep-cli.exe";
  const struct {
    bool service, raw, v6;
    std::vector<std::string> expected;
    bool usable;
  } cases[] = {
      {true, true, true,
       {"raw ICMP socket: allowed: the process runs as an administrator",
        "A sweep would use the raw socket.", "IPv6 targets would use the ICMPv6 echo service"},
       true},
      {true, false, true,
       {"raw ICMP socket: not allowed: only an administrator may open one",
        "ICMP echo service (IcmpSendEcho2): available", "would use the echo service",
        "\"Run as administrator\""},
       true},
      {false, false, false,
       {"A sweep cannot send ICMP echo requests.", "To allow it, run the program as an administrator",
        "ICMPv6: IPv6 not available"},
       false},
  };
  for (const auto& c : cases) {
    opener.datagram_allowed = c.service;
    opener.raw_allowed = c.raw;
    opener.v6_available = c.v6;
    bool usable = !c.usable;
    const std::string report = CheckReport(&opener, &usable);
    EXPECT_EQ(usable, c.usable) << report;
    for (const std::string& e : c.expected) EXPECT_NE(report.find(e), std::string::npos) << e << "\n" << report;
    for (const char* linux_only : {"ping_group_range", "setcap", "sysctl", "CAP_NET_RAW", "datagram"})
      EXPECT_EQ(report.find(linux_only), std::string::npos) << linux_only << "\n" << report;
  }
}

}  // namespace
}  // namespace ps::cli
