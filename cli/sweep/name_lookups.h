// Every name source of a run together: reverse DNS through the resolver
// (sweep::NamePool) and the hosts' own answers (names::NameFinder), asked as
// each host answers; then each printed line's name, names, services, model
// and kind.
#pragma once

#include <functional>
#include <memory>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "cli/sweep/options.h"
#include "cli/sweep/output.h"
#include "names/finder.h"
#include "names/ssdp_names.h"
#include "platform/inet/sweep_io.h"
#include "sweep/name_pool.h"

namespace ps::cli {

// False when every source `options` asked by name (--names) can work on
// this system; else says on `err` which cannot and why, and is true.
bool RefuseUnavailableNames(const Options& options, const platform::SweepPlatform& platform,
                            std::ostream& err, const std::string& prefix);

class NameLookups {
 public:
  // Starts the sources `options` ask for (opening the finder's sockets: call
  // after giving up the capabilities). `link_local`: the hosts will be IPv6
  // link-local ones of the multicast links.
  NameLookups(const Options& options, const platform::SweepPlatform& platform, int threads,
              bool link_local);
  ~NameLookups();

  // The sweep's targets (sorted; they must outlive this): starts the SSDP
  // search on the links that carry on-link ones.
  void SetTargets(std::span<const IpAddress> targets);
  // Asks every source about a host that answered; once per host.
  void Request(const IpAddress& address, int scope_id = 0);
  // Waits for the answers: the resolver's up to `dns_wait` (says so on `err`
  // when some did not come), the hosts' own until their deadline (at once when
  // `interrupted`).
  void Wait(std::chrono::steady_clock::duration dns_wait, bool interrupted, std::ostream& err,
            const std::string& prefix);
  // Fills the line's name fields for its host; its vendor must be set.
  void Fill(HostLine* line, int scope_id = 0) const;

 private:
  void StartSsdp(std::function<bool(const IpAddress&)> is_target,
                 const std::vector<names::OnLinkSubnet>& carrying);

  std::unique_ptr<sweep::NamePool> dns_;
  std::unique_ptr<names::NameFinder> finder_;
  std::unique_ptr<names::SsdpNames> ssdp_;
  std::vector<names::OnLinkSubnet> subnets_;
  const platform::SweepPlatform& platform_;
  std::int64_t wait_ns_;
  std::vector<IpAddress> gateways_;
  platform::MonotonicClock* clock_;
  unsigned sources_;
};

}  // namespace ps::cli
