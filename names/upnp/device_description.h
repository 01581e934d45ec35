// A UPnP device description (the XML document an SSDP answer's LOCATION
// points at), read for what names a device: its root device's friendlyName,
// manufacturer, modelName and deviceType.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace ps::names::upnp {

// The longest description read; a longer document is not parsed.
inline constexpr std::size_t kMaxDescriptionBytes = 64 * 1024;
// The longest field kept, in bytes of the text as sent (cut at a character
// boundary).
inline constexpr std::size_t kMaxFieldBytes = 128;

// What a device says it is. Every field is network text made safe to hold:
// white space runs folded to one space and trimmed, cut to kMaxFieldBytes,
// then passed through EscapeText (core/terminal_text.h), so it is valid
// UTF-8 without control or bidirectional characters, invalid bytes written
// as \xNN. Empty when the device gave none.
struct DeviceDescription {
  std::string friendly_name;
  std::string manufacturer;
  std::string model_name;
  std::string device_type;  // e.g. "urn:schemas-upnp-org:device:MediaServer:1"

  bool operator==(const DeviceDescription&) const = default;
};

// Reads `xml`: the <device> directly under the document's <root> element
// (element names compared without their namespace prefix), its first
// friendlyName, manufacturer, modelName and deviceType children. nullopt when
// the document is over kMaxDescriptionBytes, is not well-formed XML, has no
// root device, or the device has neither a friendlyName nor a modelName.
// Only XML's own five entities and character references are expanded: a
// DOCTYPE's entities are never defined, so entity bombs stay inert text.
std::optional<DeviceDescription> ParseDeviceDescription(std::string_view xml);

// The field rule above, for one text: fold, trim, cut, escape.
std::string SafeField(std::string_view text);

}  // namespace ps::names::upnp
