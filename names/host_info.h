// What the name sources say about one host, and how the best name is chosen.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/mac_address.h"

namespace ps::names {

// In order of trust: the best name is the first source that gave one.
enum class Source : int { kDns, kMdns, kNetbios, kLlmnr, kSsdp };
inline constexpr int kSources = 5;
using SourceSet = unsigned;  // bit (1 << Source)
inline constexpr SourceSet kAllSources = (1u << kSources) - 1;

inline constexpr SourceSet Bit(Source s) { return 1u << static_cast<int>(s); }
// "dns", "mdns", "netbios", "llmnr", "ssdp".
std::string_view SourceWord(Source s);
std::optional<Source> SourceFromWord(std::string_view word);

// Longest text kept from the network: a name, a model, a service type.
inline constexpr std::size_t kMaxText = 255;
// Services kept per host.
inline constexpr std::size_t kMaxServices = 32;

struct HostInfo {
  std::array<std::string, kSources> names;  // by Source; "" when none
  std::string workgroup;                    // NetBIOS
  bool netbios_server = false;              // a file server name (suffix 0x20)
  std::optional<MacAddress> netbios_mac;
  std::vector<std::string> services;        // sorted, unique: "_ipp._tcp", ...
  std::string model;                        // SSDP: modelName
  std::string manufacturer;                 // SSDP
  std::string device_type;                  // SSDP: deviceType URN

  std::string& name(Source s) { return names[static_cast<std::size_t>(s)]; }
  const std::string& name(Source s) const { return names[static_cast<std::size_t>(s)]; }
  // The best source that named it, or nullopt.
  std::optional<Source> best() const;
  // Adds "_x._tcp" unless present or the list is full.
  void AddService(std::string_view type);
};

// `text` cut to at most `max` bytes, never inside a UTF-8 sequence that was
// whole; bytes that are not UTF-8 stay (every output escapes them).
std::string Bounded(std::string_view text, std::size_t max = kMaxText);

}  // namespace ps::names
