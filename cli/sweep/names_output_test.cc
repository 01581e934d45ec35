// The name fields in every format, hostile texts escaped, and the options
// that pick the sources.
#include <gtest/gtest.h>

#include <sstream>

#include "cli/sweep/output.h"
#include "cli/sweep/test_options.h"
#include "cli/sweep/test_readers.h"
#include "core/terminal_text.h"

namespace ps::cli {
namespace {

HostLine Host(const char* address, std::string name, std::string source, std::string kind,
              std::string model, std::vector<std::string> services) {
  HostLine h;
  h.result.address = *IpAddress::Parse(address);
  h.result.outcome = sweep::Outcome::kAnswered;
  h.result.sent = h.result.received = 1;
  h.result.rtt_min_ns = h.result.rtt_max_ns = h.result.rtt_sum_ns = 1'000'000;
  h.name = name;
  h.name_source = source;
  if (!name.empty()) h.names = {{source, name}, {"netbios", "PRN\xff"}};
  h.kind = kind;
  h.model = model;
  h.services = services;
  return h;
}

TEST(NamesOutputTest, EveryFormatCarriesTheNameFieldsEscaped) {
  const std::string hostile_model = "Model, \"X\"\x1B[2J\xFF";
  const std::vector<HostLine> hosts = {
      Host("10.0.0.1", "printer.local", "mdns", "printer", "LaserJet 400", {"_ipp._tcp"}),
      Host("10.0.0.2", "tv\xE2\x80\xAE.local", "ssdp", "tv/media", hostile_model, {"_x\x1B._tcp"}),
      Host("10.0.0.3", "", "", "unknown", "", {}),
  };
  std::ostringstream csv, json, text;
  WriteHosts(csv, Format::kCsv, hosts, 1);
  WriteHosts(json, Format::kJson, hosts, 1);
  WriteHosts(text, Format::kText, hosts, 1);
  bool ok = false;
  const auto rows = testing::CsvRows(csv.str(), &ok);
  ASSERT_TRUE(ok) << csv.str();
  const auto objects = testing::JsonLines(json.str());
  ASSERT_EQ(rows.size(), 3u);
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    const HostLine& h = hosts[i];
    EXPECT_EQ(rows[i].at("name_source"), h.name_source);
    EXPECT_EQ(rows[i].at("kind"), h.kind);
    EXPECT_EQ(rows[i].at("model"), EscapeText(h.model));
    EXPECT_EQ(objects[i]["name_source"], h.name_source.empty() ? nlohmann::json() : nlohmann::json(h.name_source));
    EXPECT_EQ(objects[i]["kind"], h.kind);
    EXPECT_EQ(objects[i]["model"], h.model.empty() ? nlohmann::json() : nlohmann::json(EscapeText(h.model)));
    nlohmann::json names = nlohmann::json::object();
    for (const auto& [source, name] : h.names) names[source] = EscapeText(name);
    EXPECT_EQ(objects[i]["names"], names);
    nlohmann::json services = nlohmann::json::array();
    for (const std::string& s : h.services) services.push_back(EscapeText(s));
    EXPECT_EQ(objects[i]["services"], services);
  }
  for (const std::string& written : {csv.str(), json.str(), text.str()}) {
    EXPECT_EQ(written.find('\x1B'), std::string::npos) << written;
    EXPECT_EQ(written.find("\xE2\x80\xAE"), std::string::npos) << written;
    EXPECT_EQ(written.find('\xFF'), std::string::npos) << written;
  }
  EXPECT_NE(text.str().find("KIND"), std::string::npos);
  // Only unknown kinds: no column for them.
  std::ostringstream plain;
  WriteHosts(plain, Format::kText, std::vector<HostLine>{hosts[2]}, 1);
  EXPECT_EQ(plain.str().find("KIND"), std::string::npos) << plain.str();
}

TEST(NamesOutputTest, OptionsPickTheSources) {
  const struct {
    std::vector<std::string> args;
    unsigned sources;
    int wait_ms;
  } cases[] = {
      {{}, 0x1F, 600},
      {{"--names=mdns,netbios"}, 0x6, 600},
      {{"--names", "dns,ssdp", "--name-wait=250"}, 0x11, 250},
      {{"--names=none"}, 0, 600},
      {{"-n", "--names=mdns"}, 0, 600},
      {{"--name-wait", "0"}, 0x1F, 0},
  };
  for (const auto& c : cases) {
    const Result<Options> r = testing::Parse(c.args);
    ASSERT_TRUE(r.ok()) << r.status().message();
    EXPECT_EQ(r.value().name_sources, c.sources) << c.args.front();
    EXPECT_EQ(r.value().name_wait_ms, c.wait_ms);
  }
  for (const auto& [args, named] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--names=dns,bogus"}, "'bogus'"}, {{"--names="}, "''"}, {{"--name-wait=1s"}, "'1s'"},
           {{"--name-wait=10001"}, "'10001'"}}) {
    const Result<Options> r = testing::Parse(args);
    ASSERT_FALSE(r.ok()) << args.front();
    EXPECT_NE(r.status().message().find(named), std::string::npos) << r.status().message();
  }
}

}  // namespace
}  // namespace ps::cli
