// NetBIOS node status (RFC 1002, 4.2.17-18) over UDP port 137: the query for
// the wildcard name "*", and the answer's name table, read from untrusted
// bytes with every count and length bounded by the datagram.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/mac_address.h"

namespace ps::names {

inline constexpr std::uint16_t kNetbiosPort = 137;

struct NetbiosName {
  std::string name;  // up to 15 bytes, trailing spaces removed
  std::uint8_t suffix = 0;  // the 16th byte: 0x00 workstation, 0x20 server, ...
  bool group = false;
};

struct NodeStatus {
  std::uint16_t id = 0;
  std::vector<NetbiosName> names;
  std::optional<MacAddress> mac;  // the unit id, when neither zero nor absent
  // The machine's name (its first unique name of suffix 0x00 or 0x20) and
  // its workgroup (the first group name of suffix 0x00); "" when none.
  std::string machine() const;
  std::string workgroup() const;
};

// A node status request for "*" with transaction id `id` (50 bytes).
std::vector<std::uint8_t> EncodeNodeStatusQuery(std::uint16_t id);

// nullopt unless it is a positive node status response for "*".
std::optional<NodeStatus> ParseNodeStatus(std::span<const std::uint8_t> bytes);

}  // namespace ps::names
