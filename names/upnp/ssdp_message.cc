#include "names/upnp/ssdp_message.h"

#include <algorithm>
#include <charconv>

namespace ps::names::upnp {
namespace {

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return (x >= 'A' && x <= 'Z' ? x + 32 : x) == (y >= 'A' && y <= 'Z' ? y + 32 : y);
         });
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

bool IsAnswerStatusLine(std::string_view line) {
  line = Trim(line);
  if (line.size() < 12) return false;
  const std::string_view version = line.substr(0, 8);
  if (!EqualsNoCase(version, "HTTP/1.1") && !EqualsNoCase(version, "HTTP/1.0")) return false;
  return line.substr(8, 4) == " 200" && (line.size() == 12 || line[12] == ' ');
}

// Stores `value` in `*slot` unless one was there already (a repeat).
bool TakeOnce(std::string* slot, bool* seen, std::string_view value) {
  if (*seen) return false;
  *seen = true;
  slot->assign(value);
  return true;
}

// The bracketed or dotted host of an authority, its zone dropped.
std::optional<IpAddress> ParseHost(std::string_view host) {
  if (host.empty()) return std::nullopt;
  if (host.front() != '[') return host.find(':') == std::string_view::npos ? IpAddress::Parse(host) : std::nullopt;
  if (host.back() != ']') return std::nullopt;
  host = host.substr(1, host.size() - 2);
  if (const std::size_t zone = host.find('%'); zone != std::string_view::npos) host = host.substr(0, zone);
  auto address = IpAddress::Parse(host);
  if (!address || address->is_v4()) return std::nullopt;
  return address;
}

}  // namespace

IpAddress SsdpGroup(IpAddress::Family family) {
  return *IpAddress::Parse(family == IpAddress::Family::kV4 ? "239.255.255.250" : "ff02::c");
}

std::string BuildMSearch(IpAddress::Family family, int mx_seconds) {
  const bool v4 = family == IpAddress::Family::kV4;
  return std::string("M-SEARCH * HTTP/1.1\r\nHOST: ") + (v4 ? "239.255.255.250" : "[ff02::c]") +
         ":1900\r\nMAN: \"ssdp:discover\"\r\nMX: " + std::to_string(std::clamp(mx_seconds, 1, 5)) +
         "\r\nST: ssdp:all\r\nUSER-AGENT: PingSweep UPnP/1.1\r\n\r\n";
}

std::optional<SsdpAnswer> ParseSsdpAnswer(std::span<const std::uint8_t> datagram) {
  if (datagram.size() > kMaxAnswerBytes) return std::nullopt;
  std::string_view text(reinterpret_cast<const char*>(datagram.data()), datagram.size());
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  SsdpAnswer answer;
  bool location = false, st = false, usn = false, server = false;
  std::size_t lines = 0;
  for (bool first = true;; first = false) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) return std::nullopt;  // no empty line ends the headers
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    if (first) {
      if (!IsAnswerStatusLine(line)) return std::nullopt;
      continue;
    }
    if (Trim(line).empty()) break;
    if (++lines > kMaxAnswerHeaders) return std::nullopt;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const std::string_view name = Trim(line.substr(0, colon));
    const std::string_view value = Trim(line.substr(colon + 1));
    if (value.size() > kMaxHeaderValue) return std::nullopt;
    bool fine = true;
    if (EqualsNoCase(name, "LOCATION")) fine = TakeOnce(&answer.location, &location, value);
    else if (EqualsNoCase(name, "ST")) fine = TakeOnce(&answer.st, &st, value);
    else if (EqualsNoCase(name, "USN")) fine = TakeOnce(&answer.usn, &usn, value);
    else if (EqualsNoCase(name, "SERVER")) fine = TakeOnce(&answer.server, &server, value);
    if (!fine) return std::nullopt;
  }
  if (!location || !st || answer.location.empty() || answer.st.empty()) return std::nullopt;
  return answer;
}

std::optional<DescriptionUrl> CheckLocation(std::string_view location, const IpAddress& from) {
  constexpr std::string_view kScheme = "http://";
  if (location.size() > kMaxHeaderValue || location.size() < kScheme.size() ||
      !EqualsNoCase(location.substr(0, kScheme.size()), kScheme)) {
    return std::nullopt;
  }
  for (const char c : location) {
    if (c <= 0x20 || c >= 0x7f || c == '\\') return std::nullopt;
  }
  std::string_view rest = location.substr(kScheme.size());
  const std::size_t authority_end = rest.find_first_of("/?#");
  const std::string_view authority = rest.substr(0, authority_end);
  rest = authority_end == std::string_view::npos ? std::string_view() : rest.substr(authority_end);
  if (authority.find('@') != std::string_view::npos) return std::nullopt;
  // The port follows the last ':' outside the brackets.
  const std::size_t bracket = authority.rfind(']');
  const std::size_t colon = authority.rfind(':');
  const bool has_port = colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket);
  DescriptionUrl url;
  if (has_port) {
    const std::string_view digits = authority.substr(colon + 1);
    unsigned port = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (digits.empty() || digits.size() > 5 || ec != std::errc() || end != digits.data() + digits.size() ||
        port == 0 || port > 65535) {
      return std::nullopt;
    }
    url.port = static_cast<std::uint16_t>(port);
  }
  const auto host = ParseHost(authority.substr(0, has_port ? colon : authority.size()));
  if (!host || *host != from) return std::nullopt;
  url.host = *host;
  rest = rest.substr(0, rest.find('#'));
  url.target = rest.empty() || rest.front() != '/' ? "/" + std::string(rest) : std::string(rest);
  return url;
}

}  // namespace ps::names::upnp
