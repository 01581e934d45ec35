// pingsweep-cli --link-local: the IPv6 hosts on the links of chosen interfaces.
#pragma once

#include <string>

#include "cli/sweep/options.h"
#include "cli/sweep/run.h"
#include "platform/inet/sweep_io.h"

namespace ps::cli {

// Runs the discovery and prints its hosts; the exit status as for a sweep.
int RunLinkLocal(const Options& options, const platform::SweepPlatform& platform,
                 const Streams& streams, const std::string& prefix);

// Async-signal-safe: ends a running discovery with what it found.
void StopLinkLocal();

}  // namespace ps::cli
