// The watch's passive listening between sweeps: one listener per interface
// that carries on-link IPv4 targets, opened while the program still holds
// CAP_NET_RAW.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "cli/sweep/stages.h"
#include "cli/sweep/watch_run.h"
#include "watch/device.h"

namespace ps::cli {

class Listeners {
 public:
  // Opens the listeners for `targets` (sorted); when it cannot, says once
  // why and that the watch sweeps only.
  void Open(const RunContext& run, const WatchServices& services,
            std::span<const IpAddress> targets);
  bool active() const { return !listeners_.empty(); }
  // Listens for up to `slice_ns` and hands what each packet says to `heard`.
  // A listener whose socket fails is closed (said on standard error).
  void Listen(const RunContext& run, std::int64_t slice_ns,
              const std::function<void(const watch::Observation&)>& heard);

 private:
  std::vector<std::unique_ptr<platform::LinkListener>> listeners_;
  std::vector<platform::HeardFrame> frames_;
};

}  // namespace ps::cli
