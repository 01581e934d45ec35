// What the watch reports: one event per change of the inventory, as a value,
// and its two renderings, a text line and a JSON Lines object. Text from the
// network (names, vendors) is shown escaped (core/terminal_text.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/ip_address.h"
#include "core/mac_address.h"
#include "watch/device.h"

namespace ps::watch {

enum class EventKind {
  kNew,       // a device never seen before
  kOnline,    // back after an `offline`
  kOffline,   // silent for K sweeps and as long without traffic
  kAddress,   // a device answered from an address it did not have
  kConflict,  // an address answered from another MAC than the one it had (a warning)
  kName,      // a source gave a device another name
  kFull,      // the inventory reached its cap: new devices are not tracked (a warning)
};

// "new", "online", "offline", "address", "conflict", "name", "full".
std::string_view KindWord(EventKind kind);

struct Event {
  EventKind kind = EventKind::kNew;
  UnixMs time = 0;
  std::string device;  // the device's id ("" for kFull)
  std::optional<MacAddress> mac;
  std::optional<IpAddress> address;           // the address concerned, or its latest
  std::optional<IpAddress> previous_address;  // kAddress: the latest of that family before
  std::optional<MacAddress> previous_mac;     // kConflict: who answered from it before
  std::string name;                           // kNew: its first name; kName: the new one
  std::string previous_name;                  // kName
  std::string source;                         // the name's source
  std::string vendor;
  std::size_t count = 0;  // kFull: the cap

  bool warning() const { return kind == EventKind::kConflict || kind == EventKind::kFull; }
  friend bool operator==(const Event&, const Event&) = default;
};

// ISO 8601 in UTC with milliseconds: "2024-03-12T10:20:30.400Z".
std::string Iso8601(UnixMs time);

// One line without its end, e.g.
//   2024-03-12T10:20:30.400Z new 02:00:5e:00:00:01 192.0.2.7 name 'nas' (dns) vendor 'Acme'
//   2024-03-12T10:21:30.400Z warning: conflict 192.0.2.7 02:00:5e:00:00:02 (was 02:00:5e:00:00:01)
std::string EventText(const Event& event);
// One JSON object without its line end; absent fields are null.
std::string EventJson(const Event& event);

}  // namespace ps::watch
