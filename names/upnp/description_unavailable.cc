// Where no XML parser is packaged (the Windows build): no description is
// read, so SSDP names no device there.
#include "names/upnp/device_description.h"
#include "core/terminal_text.h"

namespace ps::names::upnp {

std::string SafeField(std::string_view text) { return EscapeText(text.substr(0, kMaxFieldBytes)); }

std::optional<DeviceDescription> ParseDeviceDescription(std::string_view) { return std::nullopt; }

}  // namespace ps::names::upnp
