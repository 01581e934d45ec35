// One device's stored record: a JSON object, written and read whole, so that a
// record is either all there or not there at all. Text from the network keeps
// every byte: a name that is not UTF-8 is stored as {"hex": "..."}.
#pragma once

#include <string>
#include <string_view>

#include "core/status.h"
#include "watch/device.h"

namespace ps::watch {

std::string EncodeDevice(const Device& device);
// The record stored under `id`; a failure when it is damaged, names another
// device, or breaks the bounds of device.h.
Result<Device> DecodeDevice(std::string_view id, std::string_view record);

}  // namespace ps::watch
