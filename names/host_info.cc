#include "names/host_info.h"

#include <algorithm>

namespace ps::names {
namespace {
constexpr std::string_view kWords[kSources] = {"dns", "mdns", "netbios", "llmnr", "ssdp"};
}  // namespace

std::string_view SourceWord(Source s) { return kWords[static_cast<int>(s)]; }

std::optional<Source> SourceFromWord(std::string_view word) {
  for (int i = 0; i < kSources; ++i)
    if (kWords[i] == word) return static_cast<Source>(i);
  return std::nullopt;
}

std::optional<Source> HostInfo::best() const {
  for (int i = 0; i < kSources; ++i)
    if (!names[static_cast<std::size_t>(i)].empty()) return static_cast<Source>(i);
  return std::nullopt;
}

void HostInfo::AddService(std::string_view type) {
  const std::string t = Bounded(type, 64);
  const auto at = std::lower_bound(services.begin(), services.end(), t);
  if (t.empty() || (at != services.end() && *at == t) || services.size() >= kMaxServices) return;
  services.insert(at, t);
}

std::string Bounded(std::string_view text, std::size_t max) {
  if (text.size() <= max) return std::string(text);
  std::size_t cut = max;
  // Back off continuation bytes so that a whole sequence is not split.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut));
}

}  // namespace ps::names
