// What a host is, in one word, from what it said about itself: the table in
// kind_table.cc, read top to bottom, the first row that matches wins. To
// teach it a device, add a row there (and a case to kind_table_test.cc).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ps::names {

// The kinds, as printed.
inline constexpr std::string_view kPrinter = "printer";
inline constexpr std::string_view kMedia = "tv/media";
inline constexpr std::string_view kPhone = "phone/tablet";
inline constexpr std::string_view kComputer = "computer";
inline constexpr std::string_view kRouter = "router/gateway";
inline constexpr std::string_view kNas = "nas";
inline constexpr std::string_view kIot = "iot";
inline constexpr std::string_view kUnknown = "unknown";

struct KindFacts {
  bool gateway = false;                      // the default route's next hop
  const std::vector<std::string>* services = nullptr;  // DNS-SD types, "_ipp._tcp"
  std::string_view device_type;              // SSDP/UPnP deviceType URN
  std::string_view vendor;                   // of the MAC address
  bool netbios_name = false;                 // answered NetBIOS node status
  bool netbios_server = false;               // with a file server name
};

// One of the kinds above; kUnknown when no row matches.
std::string_view KindOf(const KindFacts& facts);

}  // namespace ps::names
