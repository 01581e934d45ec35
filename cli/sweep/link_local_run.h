// pingsweep-cli --link-local: the IPv6 hosts on the links of chosen interfaces.
#pragma once

#include "cli/sweep/stages.h"

namespace ps::cli {

// Chooses the links, opens the ICMPv6 socket (then gives up the
// capabilities), discovers, prints the hosts; the exit status as for a sweep.
int RunLinkLocal(const RunContext& run);

}  // namespace ps::cli
