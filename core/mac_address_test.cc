#include "core/mac_address.h"

#include <gtest/gtest.h>

namespace ps {
namespace {

TEST(MacAddressTest, ParsesTheUsualFormsAndRefusesTheRest) {
  struct Case {
    const char* text;
    const char* parsed;  // nullptr: refused
  } cases[] = {
      {"00:1a:2B:3c:4D:5e", "00:1a:2b:3c:4d:5e"},
      {"00-1A-2B-3C-4D-5E", "00:1a:2b:3c:4d:5e"},
      {"001a2b3c4d5e", "00:1a:2b:3c:4d:5e"},
      {"0:1a:2b:3:4d:5", "00:1a:2b:03:4d:05"},
      {"ff:ff:ff:ff:ff:ff", "ff:ff:ff:ff:ff:ff"},
      {"", nullptr},
      {"00:1a:2b:3c:4d", nullptr},
      {"00:1a:2b:3c:4d:5e:6f", nullptr},
      {"00:1a:2b:3c:4d:5e ", nullptr},
      {"00:1a-2b:3c:4d:5e", nullptr},
      {"000:1a:2b:3c:4d:5e", nullptr},
      {"00:1a:2b:3c:4d:5g", nullptr},
      {"00::1a:2b:3c:4d:5e", nullptr},
      {"001a2b3c4d5g", nullptr},
      {"00.1a.2b.3c.4d.5e", nullptr},
  };
  for (const Case& c : cases) {
    const auto mac = MacAddress::Parse(c.text);
    if (c.parsed == nullptr) {
      EXPECT_FALSE(mac.has_value()) << c.text;
    } else {
      ASSERT_TRUE(mac.has_value()) << c.text;
      EXPECT_EQ(mac->ToString(), c.parsed) << c.text;
    }
  }
}

TEST(MacAddressTest, BitsAndIntegerForm) {
  const MacAddress mac = *MacAddress::Parse("02:00:5e:10:20:30");
  EXPECT_EQ(mac.ToUint64(), 0x02005e102030u);
  EXPECT_EQ(MacAddress::FromUint64(0x02005e102030u), mac);
  EXPECT_TRUE(mac.IsLocallyAdministered());
  EXPECT_FALSE(mac.IsGroup());
  EXPECT_FALSE(MacAddress::Parse("00:00:5e:10:20:30")->IsLocallyAdministered());
  EXPECT_TRUE(MacAddress::Parse("01:00:5e:00:00:01")->IsGroup());
  EXPECT_TRUE(kBroadcastMac.IsGroup());
  EXPECT_TRUE(MacAddress{}.IsZero());
  EXPECT_LT(*MacAddress::Parse("00:00:00:00:00:01"), *MacAddress::Parse("00:00:00:00:01:00"));
}

}  // namespace
}  // namespace ps
