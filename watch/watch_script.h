// Test scaffolding shared by the watch's tests: a watcher on fake clocks driven
// by a short script, and events summed up in one short line each.
//
// An answer reads "A 10.0.0.1 dns=nas": a device letter (its MAC is
// 00:11:22:33:44:<letter's code>), a whole MAC, or "-" for a host beyond a
// router, then an
// optional address, then names as source=name.
#pragma once

#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/inet/sweep_fakes.h"
#include "platform/netapi/net_fakes.h"
#include "watch/record.h"
#include "watch/watcher.h"

namespace ps::watch {

// Failures show a device as its stored record.
inline void PrintTo(const Device& device, std::ostream* out) { *out << EncodeDevice(device); }

}  // namespace ps::watch

namespace ps::watch::testing {

inline MacAddress LetterMac(char letter) {
  return MacAddress{{0x00, 0x11, 0x22, 0x33, 0x44, static_cast<std::uint8_t>(letter)}};
}

inline Observation Answer(const std::string& line) {
  std::istringstream in(line);
  std::string device, word;
  in >> device;
  Observation seen;
  if (device.size() > 1) {
    seen.mac = MacAddress::Parse(device);
  } else if (device != "-") {
    seen.mac = LetterMac(device[0]);
  }
  while (in >> word) {
    if (const auto eq = word.find('='); eq != std::string::npos) {
      seen.names.push_back({word.substr(0, eq), word.substr(eq + 1)});
    } else {
      seen.address = IpAddress::Parse(word);
    }
  }
  return seen;
}

// The letter back for a MAC made by LetterMac, the MAC's text for any other.
inline std::string Short(const MacAddress& mac) {
  const std::string prefix = "00:11:22:33:44:";
  const std::string text = mac.ToString();
  return text.starts_with(prefix) ? std::string(1, static_cast<char>(mac.octets[5])) : text;
}
inline std::string Short(const std::string& id) {
  const auto mac = MacAddress::Parse(id);
  return mac ? Short(*mac) : id;
}

// "new A 10.0.0.1 dns=nas", "offline A", "address A 10.0.0.2 was 10.0.0.1",
// "conflict 10.0.0.1 B was A", "name A 10.0.0.1 dns=nas2 was nas", "full 3".
inline std::string Summary(const Event& e) {
  std::string out(KindWord(e.kind));
  if (e.kind == EventKind::kFull) return out + ' ' + std::to_string(e.count);
  if (e.kind == EventKind::kConflict) {
    return out + ' ' + e.address->ToString() + ' ' + Short(*e.mac) + " was " +
           Short(*e.previous_mac);
  }
  out += ' ' + Short(e.device);
  if (e.address && !e.device.starts_with("ip:")) out += ' ' + e.address->ToString();
  if (!e.name.empty()) out += ' ' + e.source + '=' + e.name;
  if (e.kind == EventKind::kName) out += " was " + e.previous_name;
  if (e.previous_address) out += " was " + e.previous_address->ToString();
  return out;
}

inline std::string Summaries(const std::vector<Event>& events) {
  std::string out;
  for (const Event& e : events) out += (out.empty() ? "" : "; ") + Summary(e);
  return out;
}

// A watcher on fake clocks; each Step is one sweep interval.
class Script {
 public:
  static constexpr std::int64_t kIntervalNs = 60'000'000'000;

  explicit Script(WatchConfig config) : watcher(config, clock, wall) {}

  // Observes `answers` (separated by ';'), then ends the sweep unless the first
  // character is '~' (passive sightings only: no sweep, no time passes), then
  // lets kIntervalNs pass.
  // Returns the events, summed up.
  std::string Step(const std::string& answers) {
    std::vector<Event> events;
    std::istringstream in(answers.starts_with('~') ? answers.substr(1) : answers);
    for (std::string one; std::getline(in, one, ';');) {
      if (one.find_first_not_of(' ') != std::string::npos) watcher.Observe(Answer(one), &events);
    }
    if (!answers.starts_with('~')) {
      watcher.EndSweep(&events);
      Advance(kIntervalNs);
    }
    return Summaries(events);
  }
  void Advance(std::int64_t ns) {
    clock.now_ns += ns;
    wall.AdvanceMs(ns / 1'000'000);
  }

  platform::FakeMonotonicClock clock;
  platform::FakeSystemClock wall;
  Watcher watcher;
};

}  // namespace ps::watch::testing
