// The common case of reading a stored record, fast: the JSON that
// EncodeDevice() writes for text that is plain (printable ASCII, nothing
// escaped). Anything else, it declines, and record.cc reads the record with
// the general JSON parser; it never accepts what that would refuse.
#pragma once

#include <optional>
#include <string_view>

#include "watch/device.h"

namespace ps::watch::internal {

// The fields of the record (Device::id left empty), or nullopt to decline.
std::optional<Device> ReadPlainRecord(std::string_view record);

}  // namespace ps::watch::internal
