// The steps of a sweep (run.cc) that the watch repeats over sockets it opened
// once, before it gave up its capabilities.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "cli/sweep/lan.h"
#include "cli/sweep/stages.h"
#include "core/status.h"
#include "sweep/engine.h"
#include "sweep/targets.h"
#include "cli/sweep/name_lookups.h"

namespace ps::cli {

// What the probes found, ARP and ICMP together.
struct Findings {
  sweep::HostResults results;  // one per target, in target order
  sweep::SweepSummary summary;
  Status failure;
  // Families with on-link targets: only their neighbour entries can give MACs.
  std::vector<IpAddress::Family> mac_families;
};

// The addresses to probe, sorted: what the user typed, else the connected
// subnets (said on standard error). The exit code when there are none.
std::optional<int> ReadSweepTargets(const RunContext& run, sweep::TargetAddresses* targets);

// The families of the targets ARP leaves to ICMP, IPv4 first: one socket each.
std::vector<IpAddress::Family> IcmpFamilies(const ArpStage& arp);

// One round: ARP (its sockets kept), then one ICMP sweep per family over
// `sockets` (as IcmpFamilies() lists them); names asked for as hosts answer.
Findings ProbeOnce(const RunContext& run, std::span<const IpAddress> targets, ArpStage& arp,
                   const std::vector<std::unique_ptr<platform::IcmpSocket>>& sockets,
                   NameLookups* names, HostMacs* macs);

}  // namespace ps::cli
