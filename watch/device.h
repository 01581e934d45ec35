// The watch's inventory: what is known of each device on the watched links,
// and the observations that teach it more.
//
// A device on a link is known by its MAC address (one device per MAC); a host
// beyond a router, whose MAC the watch never sees, by its address alone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/ip_address.h"
#include "core/mac_address.h"

namespace ps::watch {

// Wall-clock time: milliseconds since 1970-01-01 00:00 UTC.
using UnixMs = std::int64_t;

// Bounds that keep one device's record small whatever the network sends.
inline constexpr std::size_t kMaxAddresses = 8;    // most recently seen kept
inline constexpr std::size_t kMaxNames = 8;        // sources; later ones ignored
inline constexpr std::size_t kMaxTextBytes = 255;  // a name, source or vendor, cut

struct NameBy {
  std::string source;  // "dns", "dhcp", "netbios", ...
  std::string name;    // as received: raw bytes, escaped only when shown
  friend bool operator==(const NameBy&, const NameBy&) = default;
};

struct SeenAddress {
  IpAddress address;
  UnixMs last_seen = 0;
  friend bool operator==(const SeenAddress&, const SeenAddress&) = default;
};

struct Device {
  std::string id;                 // DeviceId() of the MAC or of the address
  std::optional<MacAddress> mac;  // none for a host beyond a router
  UnixMs first_seen = 0;
  UnixMs last_seen = 0;
  std::vector<SeenAddress> addresses;  // most recently seen first
  std::vector<NameBy> names;           // one per source, in order of arrival
  std::string vendor;                  // "" when unknown
  bool randomized = false;             // locally administered MAC
  bool online = true;                  // as last announced
  // Sweeps missed in a row (up to K), kept so that runs of --changes, one
  // sweep each, count them too.
  int missed = 0;

  friend bool operator==(const Device&, const Device&) = default;
};

// The id of a device on a link ("02:00:5e:00:00:01") or beyond a router
// ("ip:192.0.2.7").
std::string DeviceId(const MacAddress& mac);
std::string DeviceId(const IpAddress& address);

// One answer to a sweep or one packet seen passively.
struct Observation {
  std::optional<MacAddress> mac;     // none: a host beyond a router
  std::optional<IpAddress> address;  // none: e.g. a DHCP request from 0.0.0.0
  std::vector<NameBy> names;         // empty names carry nothing
  std::string vendor;                // "" when unknown
};

}  // namespace ps::watch
