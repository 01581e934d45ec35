#include "names/upnp/device_description.h"

#include <pugixml.hpp>

#include <cstring>

#include "core/terminal_text.h"

namespace ps::names::upnp {
namespace {

// An element's name without its namespace prefix.
std::string_view LocalName(const pugi::xml_node& node) {
  const std::string_view name = node.name();
  const std::size_t colon = name.rfind(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

pugi::xml_node Child(const pugi::xml_node& parent, std::string_view name) {
  for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling()) {
    if (child.type() == pugi::node_element && LocalName(child) == name) return child;
  }
  return {};
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The length of the longest prefix of `text` within `limit` bytes that does
// not end inside a UTF-8 sequence.
std::size_t CutAt(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return text.size();
  std::size_t cut = limit;
  // Step back over continuation bytes to the start of the cut character.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80 && limit - cut < 3) --cut;
  return (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80 ? limit : cut;
}

}  // namespace

std::string SafeField(std::string_view text) {
  std::string folded;
  folded.reserve(std::min(text.size(), kMaxFieldBytes));
  for (std::size_t i = 0; i < text.size() && folded.size() <= kMaxFieldBytes; ++i) {
    if (!IsSpace(text[i])) {
      folded.push_back(text[i]);
    } else if (!folded.empty() && folded.back() != ' ') {
      folded.push_back(' ');
    }
  }
  folded.resize(CutAt(folded, kMaxFieldBytes));
  while (!folded.empty() && folded.back() == ' ') folded.pop_back();
  return EscapeText(folded);
}

std::optional<DeviceDescription> ParseDeviceDescription(std::string_view xml) {
  if (xml.size() > kMaxDescriptionBytes) return std::nullopt;
  pugi::xml_document doc;
  // pugixml skips a DOCTYPE and expands no entity it declares: no file, no
  // network, no growth. Its parser loops rather than recursing, so nesting
  // costs no stack.
  if (!doc.load_buffer(xml.data(), xml.size(), pugi::parse_default, pugi::encoding_utf8)) {
    return std::nullopt;
  }
  pugi::xml_node root = doc.document_element();
  if (!root || LocalName(root) != "root") return std::nullopt;
  const pugi::xml_node device = Child(root, "device");
  if (!device) return std::nullopt;
  DeviceDescription d;
  d.friendly_name = SafeField(Child(device, "friendlyName").text().get());
  d.manufacturer = SafeField(Child(device, "manufacturer").text().get());
  d.model_name = SafeField(Child(device, "modelName").text().get());
  d.device_type = SafeField(Child(device, "deviceType").text().get());
  if (d.friendly_name.empty() && d.model_name.empty()) return std::nullopt;
  return d;
}

}  // namespace ps::names::upnp
