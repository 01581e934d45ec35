#include "lan/vendors.h"

#include <gtest/gtest.h>

#include <fstream>

#include "testsupport/temp_dir.h"

namespace ps::sweep {
namespace {

MacAddress Mac(const char* text) { return *MacAddress::Parse(text); }

void WriteFile(const std::string& path, std::string_view content) {
  std::ofstream(path, std::ios::binary) << content;
}

// Small registries in the installed files' shape: CRLF rows, RFC 4180 quoting
// (commas, doubled quotes and a line break inside quoted fields), a repeated
// assignment, and rows that must be skipped.
constexpr std::string_view kMaL =
    "Registry,Assignment,Organization Name,Organization Address\r\n"
    "MA-L,00000C,\"Cisco Systems, Inc\",170 WEST TASMAN DRIVE SAN JOSE CA US 95134-1706 \r\n"
    "MA-L,001EFC,\"JSC \"\"MASSA-K\"\"\",\"15, A, Pirogovskaya nab.\r\nSaint-Petersburg RU\"\r\n"
    "MA-L,70B3D5,IEEE Registration Authority,445 Hoes Lane Piscataway NJ US 08554 \r\n"
    "MA-L,080030,NETWORK RESEARCH CORPORATION,OXNARD CA US\r\n"
    "MA-L,080030,ROYAL MELBOURNE INST OF TECH,MELBOURNE AU\r\n"
    "MA-L,0G0000,Bad Hex,\r\n"
    "MA-L,00000,Too Short,\r\n"
    "MA-L,000001,   ,\r\n"
    "MA-L,000002\r\n"
    "\r\n"
    "MA-L,98BA39,  Doro AB ,J\xc3\xb6rgen Kocksgatan 1B Malm\xc3\xb6\r\n"
    "MA-L,ACDE48,Last Row Without Newline,";
constexpr std::string_view kMaM =
    "Registry,Assignment,Organization Name,Organization Address\r\n"
    "MA-M,70B3D5A,Medium Block Owner,Somewhere\r\n";
constexpr std::string_view kMaS =
    "Registry,Assignment,Organization Name,Organization Address\r\n"
    "MA-S,70B3D5F2F,TELEPLATFORMS,\"Polbina st., 3/1 Moscow  RU 109388 \"\r\n"
    "MA-S,70B3D5A01,Small Block Inside Medium,Elsewhere\r\n";

class VendorRegistryTest : public ::testing::Test {
 protected:
  Result<VendorRegistry> LoadTestFiles(bool with_iab) {
    WriteFile(dir_.path() + "/oui.csv", kMaL);
    WriteFile(dir_.path() + "/mam.csv", kMaM);
    WriteFile(dir_.path() + "/oui36.csv", kMaS);
    if (with_iab) {
      WriteFile(dir_.path() + "/iab.csv",
                "Registry,Assignment,Organization Name,Organization Address\n"
                "IAB,0050C27D5,DEUTA-WERKE GmbH,Bergisch-Gladbach DE\n");
    }
    return Load();
  }
  // Load(), with what it says (the problems, or why it failed) in error_.
  Result<VendorRegistry> Load() {
    Result<VendorRegistry> registry = VendorRegistry::Load(dir_.path());
    error_ = registry.ok() ? registry->problems() : registry.status().message();
    return registry;
  }
  platform::TempRegistryDir dir_;
  std::string error_;
};

TEST_F(VendorRegistryTest, LongestPrefixWinsAndQuotingIsUndone) {
  const auto registry = LoadTestFiles(/*with_iab=*/true);
  ASSERT_TRUE(registry.ok()) << error_;
  EXPECT_EQ(error_, "");
  EXPECT_EQ(registry->size(), 10u);
  struct Case {
    const char* mac;
    std::string_view vendor;
  } cases[] = {
      {"00:00:0c:12:34:56", "Cisco Systems, Inc"},
      {"00:1e:fc:00:00:01", "JSC \"MASSA-K\""},
      {"70:b3:d5:f2:f1:23", "TELEPLATFORMS"},                 // 36 bits
      {"70:b3:d5:a0:11:23", "Small Block Inside Medium"},     // 36 inside 28
      {"70:b3:d5:a2:00:00", "Medium Block Owner"},            // 28 bits
      {"70:b3:d5:10:00:00", "IEEE Registration Authority"},   // only 24 bits match
      {"08:00:30:00:00:00", "NETWORK RESEARCH CORPORATION"},  // first of a repeat
      {"98:ba:39:01:02:03", "Doro AB"},                       // trimmed
      {"ac:de:48:00:00:00", "Last Row Without Newline"},
      {"00:50:c2:7d:51:00", "DEUTA-WERKE GmbH"},              // IAB, 36 bits
      {"00:00:01:00:00:00", ""},                              // blank name skipped
      {"00:00:02:00:00:00", ""},                              // row without a name
      {"0a:00:0c:12:34:56", kPrivateAddressVendor},           // locally administered
      {"02:00:0c:12:34:56", kPrivateAddressVendor},
      {"01:00:0c:12:34:56", ""},                              // group bit: another prefix
      {"fc:ff:ff:ff:ff:ff", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(registry->Lookup(Mac(c.mac)), c.vendor) << c.mac;
}

TEST_F(VendorRegistryTest, MissingFilesAreNamedAndNoFileAtAllFails) {
  auto registry = LoadTestFiles(/*with_iab=*/false);
  ASSERT_TRUE(registry.ok());
  EXPECT_NE(error_.find("iab.csv: cannot be read"), std::string::npos) << error_;

  WriteFile(dir_.path() + "/oui.csv", "Registry,Assignment,Organization Name\nnot,a,registry\n");
  ::remove((dir_.path() + "/mam.csv").c_str());
  ::remove((dir_.path() + "/oui36.csv").c_str());
  EXPECT_FALSE(Load().ok());
  EXPECT_NE(error_.find("install the ieee-data package"), std::string::npos) << error_;
  EXPECT_NE(error_.find("oui.csv: no entries"), std::string::npos) << error_;
}

TEST(SystemVendorRegistryTest, InstalledRegistriesLoad) {
  const auto registry = VendorRegistry::Load(VendorRegistry::kSystemFolder);
  ASSERT_TRUE(registry.ok()) << registry.status().message();
  EXPECT_GT(registry->size(), 30000u);
  EXPECT_EQ(registry->Lookup(Mac("00:00:0c:00:00:01")), "Cisco Systems, Inc");
}

}  // namespace
}  // namespace ps::sweep
