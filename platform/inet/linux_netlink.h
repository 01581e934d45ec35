// rtnetlink dumps, shared by the neighbour table and the route lookups.
#pragma once

#include <linux/netlink.h>

#include <cstddef>
#include <cstdint>
#include <functional>

#include "core/status.h"

namespace ps::platform {

// Sends one dump request of `type` for `family` (its header, of
// `header_size` bytes, starts with the family byte) and hands every message
// of the answer to `each`, up to its end; or why it could not.
Status NetlinkDump(std::uint16_t type, std::uint8_t family, std::size_t header_size,
                   const std::function<void(const nlmsghdr*)>& each);

}  // namespace ps::platform
