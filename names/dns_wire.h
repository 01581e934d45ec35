// DNS messages as multicast DNS (RFC 6762) and LLMNR (RFC 4795) carry them:
// PTR queries for reverse names, and the answers parsed from untrusted bytes.
// Parsing is bounded: names follow compression pointers only backwards and at
// most kMaxPointers times, never exceed 255 bytes, and a record that runs past
// the end ends the message as malformed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/ip_address.h"

namespace ps::names {

inline constexpr std::uint16_t kTypeA = 1;
inline constexpr std::uint16_t kTypePtr = 12;
inline constexpr std::uint16_t kTypeAaaa = 28;
inline constexpr std::uint16_t kTypeSrv = 33;
inline constexpr std::uint16_t kClassIn = 1;
// In a multicast DNS question: answer by unicast (the "QU" bit).
inline constexpr std::uint16_t kUnicastResponse = 0x8000;
inline constexpr int kMaxPointers = 16;
inline constexpr std::size_t kMaxName = 255;
// Records kept from one message; the rest are ignored.
inline constexpr std::size_t kMaxRecords = 64;

// "4.3.2.1.in-addr.arpa" for 1.2.3.4; the nibbles of ip6.arpa for IPv6.
std::string ReverseName(const IpAddress& address);

struct DnsQuestion {
  // Dotted, no final dot; labels as raw bytes, a "." or "\" within one
  // written as "\." or "\\" (as DNS presents names).
  std::string name;
  std::uint16_t type = kTypePtr;
  std::uint16_t klass = kClassIn;  // with kUnicastResponse for a QU question
  bool operator==(const DnsQuestion&) const = default;
};

struct DnsRecord {
  std::string name;
  std::uint16_t type = 0;
  std::uint16_t klass = 0;  // the cache-flush bit masked off
  std::string target;       // PTR and SRV: the name pointed at
  std::optional<IpAddress> address;  // A and AAAA
};

struct DnsMessage {
  std::uint16_t id = 0;
  std::uint16_t flags = 0;
  std::vector<DnsQuestion> questions;
  std::vector<DnsRecord> records;  // answers, authority and additional, in order
  bool is_response() const { return (flags & 0x8000) != 0; }
  int rcode() const { return flags & 0xF; }
};

// A standard query (recursion not desired) for the questions; empty when a
// name cannot be encoded (a label over 63 bytes, an empty label, a name over
// 255 bytes).
std::vector<std::uint8_t> EncodeQuery(std::uint16_t id, std::span<const DnsQuestion> questions);

// nullopt for anything malformed or truncated (a response cut short loses
// only the records after the cut, as the TC bit asks).
std::optional<DnsMessage> ParseMessage(std::span<const std::uint8_t> bytes);

// Case-insensitive for ASCII letters, as DNS compares names.
bool SameName(std::string_view a, std::string_view b);

}  // namespace ps::names
