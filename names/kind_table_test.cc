// The kind table's order: the row a device should hit, not an earlier one.
#include <gtest/gtest.h>

#include "names/kind_table.h"

namespace ps::names {
namespace {

TEST(KindTableTest, FirstMatchingRowWins) {
  using S = std::vector<std::string>;
  const struct {
    const char* what;
    S services;
    const char* device_type;
    const char* vendor;
    bool gateway, netbios, server;
    std::string_view kind;
  } cases[] = {
      {"nothing known", {}, "", "", false, false, false, kUnknown},
      {"the gateway, whatever it offers", {"_ipp._tcp"}, "", "", true, false, false, kRouter},
      {"a printer that also shares files", {"_smb._tcp", "_ipp._tcp"}, "", "", false, true, true, kPrinter},
      {"a cast target", {"_googlecast._tcp"}, "", "Google", false, false, false, kMedia},
      {"a UPnP media server", {}, "urn:schemas-upnp-org:device:MediaServer:1", "", false, false, false, kMedia},
      {"a UPnP router", {}, "urn:schemas-upnp-org:device:InternetGatewayDevice:1", "", false, false, false, kRouter},
      {"a phone", {"_apple-mobdev2._tcp"}, "", "Apple, Inc.", false, false, false, kPhone},
      {"a NAS by vendor, over its SMB service", {"_smb._tcp"}, "", "Synology Incorporated", false, false, false, kNas},
      {"a smart plug", {"_hap._tcp"}, "", "", false, false, false, kIot},
      {"a board by vendor", {}, "", "ESPRESSIF INC.", false, false, false, kIot},
      {"a laptop with ssh", {"_ssh._tcp"}, "", "Apple, Inc.", false, false, false, kComputer},
      {"a Windows machine by NetBIOS", {}, "", "", false, true, false, kComputer},
      {"a printer by vendor alone", {}, "", "Brother Industries, Ltd.", false, false, false, kPrinter},
  };
  for (const auto& c : cases) {
    KindFacts f{c.gateway, &c.services, c.device_type, c.vendor, c.netbios, c.server};
    EXPECT_EQ(KindOf(f), c.kind) << c.what;
  }
}

}  // namespace
}  // namespace ps::names
