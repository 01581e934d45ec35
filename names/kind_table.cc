#include "names/kind_table.h"

#include <algorithm>

namespace ps::names {
namespace {

// What a row looks at: a DNS-SD service type (equal), the UPnP device type
// or the vendor (containing the text, letters in any case), or NetBIOS.
enum class Clue { kGateway, kService, kDeviceType, kVendor, kNetbiosServer, kNetbios };

struct Row {
  Clue clue;
  std::string_view text;
  std::string_view kind;
};

// Top to bottom; the first match wins. Services come before vendors: a
// vendor makes many kinds of device, a service says what this one does.
constexpr Row kTable[] = {
    {Clue::kGateway, "", kRouter},
    {Clue::kDeviceType, "InternetGatewayDevice", kRouter},
    {Clue::kDeviceType, "WANDevice", kRouter},
    {Clue::kDeviceType, "Printer", kPrinter},
    {Clue::kService, "_ipp._tcp", kPrinter},
    {Clue::kService, "_ipps._tcp", kPrinter},
    {Clue::kService, "_printer._tcp", kPrinter},
    {Clue::kService, "_pdl-datastream._tcp", kPrinter},
    {Clue::kService, "_uscan._tcp", kPrinter},
    {Clue::kService, "_googlecast._tcp", kMedia},
    {Clue::kService, "_airplay._tcp", kMedia},
    {Clue::kService, "_raop._tcp", kMedia},
    {Clue::kService, "_spotify-connect._tcp", kMedia},
    {Clue::kService, "_sonos._tcp", kMedia},
    {Clue::kDeviceType, "MediaRenderer", kMedia},
    {Clue::kDeviceType, "MediaServer", kMedia},
    {Clue::kService, "_apple-mobdev2._tcp", kPhone},
    {Clue::kService, "_companion-link._tcp", kPhone},
    {Clue::kService, "_adisk._tcp", kNas},
    {Clue::kService, "_afpovertcp._tcp", kNas},
    {Clue::kService, "_nfs._tcp", kNas},
    {Clue::kVendor, "Synology", kNas},
    {Clue::kVendor, "QNAP", kNas},
    {Clue::kService, "_hap._tcp", kIot},
    {Clue::kService, "_matter._tcp", kIot},
    {Clue::kService, "_matterc._udp", kIot},
    {Clue::kService, "_hue._tcp", kIot},
    {Clue::kService, "_esphomelib._tcp", kIot},
    {Clue::kService, "_mqtt._tcp", kIot},
    {Clue::kVendor, "Espressif", kIot},
    {Clue::kVendor, "Tuya", kIot},
    {Clue::kService, "_ssh._tcp", kComputer},
    {Clue::kService, "_sftp-ssh._tcp", kComputer},
    {Clue::kService, "_workstation._tcp", kComputer},
    {Clue::kService, "_rfb._tcp", kComputer},
    {Clue::kService, "_rdp._tcp", kComputer},
    {Clue::kService, "_smb._tcp", kComputer},
    {Clue::kNetbiosServer, "", kComputer},
    {Clue::kNetbios, "", kComputer},
    {Clue::kVendor, "Roku", kMedia},
    {Clue::kVendor, "Sonos", kMedia},
    {Clue::kVendor, "Brother", kPrinter},
    {Clue::kVendor, "Seiko Epson", kPrinter},
    {Clue::kVendor, "Raspberry Pi", kComputer},
};

bool Contains(std::string_view hay, std::string_view needle) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  return !needle.empty() &&
         std::search(hay.begin(), hay.end(), needle.begin(), needle.end(),
                     [&](char a, char b) { return lower(a) == lower(b); }) != hay.end();
}

bool Matches(const Row& row, const KindFacts& f) {
  switch (row.clue) {
    case Clue::kGateway: return f.gateway;
    case Clue::kService:
      return f.services != nullptr &&
             std::find(f.services->begin(), f.services->end(), row.text) != f.services->end();
    case Clue::kDeviceType: return Contains(f.device_type, row.text);
    case Clue::kVendor: return Contains(f.vendor, row.text);
    case Clue::kNetbiosServer: return f.netbios_server;
    case Clue::kNetbios: return f.netbios_name;
  }
  return false;
}

}  // namespace

std::string_view KindOf(const KindFacts& facts) {
  for (const Row& row : kTable)
    if (Matches(row, facts)) return row.kind;
  return kUnknown;
}

}  // namespace ps::names
