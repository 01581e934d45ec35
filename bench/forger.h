// A /16 sweep (half of it dropped) while an on-path attacker in the far
// namespace floods forged echo replies: sources in the silent half, the
// identifier and sequence numbers of real requests sniffed off the wire, and
// the data (cookies) of requests to other addresses.
#pragma once

#include <cstdint>

#include "testsupport/veth_lab.h"

struct ForgeryResult {
  std::uint64_t answered = 0;     // hosts credited
  std::uint64_t false_hosts = 0;  // credited hosts in the silent half
  std::uint64_t forged_sent = 0;
  std::uint64_t ignored = 0;      // messages the engine refused
};

// The lab must answer for 10.77.0.0/16 and drop echo requests to 10.77.128.0/17.
ForgeryResult SweepUnderForgery(const ps::testing::VethLab& lab, std::uint64_t forgeries);
