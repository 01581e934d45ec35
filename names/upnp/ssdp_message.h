// SSDP (UPnP discovery) on the wire: the M-SEARCH we send, the answers we
// take, and the one check that matters before anything is fetched: the
// answer's LOCATION names, as a literal address, the host that sent it.
// Everything here is pure: no sockets, no clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/ip_address.h"

namespace ps::names::upnp {

inline constexpr std::uint16_t kSsdpPort = 1900;
// The largest answer taken; a longer datagram is dropped whole.
inline constexpr std::size_t kMaxAnswerBytes = 2048;
// Header lines of an answer beyond which it is dropped whole.
inline constexpr std::size_t kMaxAnswerHeaders = 32;
// LOCATION, ST, USN and SERVER longer than this drop the answer.
inline constexpr std::size_t kMaxHeaderValue = 512;

// The SSDP multicast group of a family: 239.255.255.250 or ff02::c.
IpAddress SsdpGroup(IpAddress::Family family);

// "M-SEARCH * HTTP/1.1" for every device and service (ST: ssdp:all), to the
// family's group, answers spread over `mx_seconds` (clamped to 1..5).
std::string BuildMSearch(IpAddress::Family family, int mx_seconds);

// The headers of an answer to an M-SEARCH that we use. Values are as sent
// (bounded, unchecked bytes): show them only through EscapeText.
struct SsdpAnswer {
  std::string location;
  std::string st;
  std::string usn;
  std::string server;
};

// Parses an answer: "HTTP/1.1 200 OK" (or HTTP/1.0), then header lines
// (names case-insensitive, CRLF or LF) up to an empty line. nullopt for
// anything else: another status or request (NOTIFY, M-SEARCH), a datagram
// over kMaxAnswerBytes, too many or overlong lines, a header without a colon,
// a missing or repeated LOCATION or ST, a NUL byte anywhere.
std::optional<SsdpAnswer> ParseSsdpAnswer(std::span<const std::uint8_t> datagram);

// Where a description is fetched from: the answering host itself.
struct DescriptionUrl {
  IpAddress host;
  std::uint16_t port = 80;
  std::string target;  // origin form, "/path?query": what the GET asks for
  bool operator==(const DescriptionUrl&) const = default;
};

// The LOCATION `location` when it may be fetched for an answer from `from`:
// scheme http (any case), the authority a literal address equal to `from`
// (IPv4 dotted quad or bracketed IPv6, a zone ignored), an optional port,
// no user information, a target of printable ASCII without '\' (a fragment
// is dropped). nullopt for anything else: another scheme, a host name, a
// different address, "user@", an empty or bad port, an over-long URL.
std::optional<DescriptionUrl> CheckLocation(std::string_view location, const IpAddress& from);

}  // namespace ps::names::upnp
