// pingsweep-cli --watch, --changes and --inventory: the sweep made again and
// again over sockets opened once, passive listening between sweeps, the
// events printed and handed to --exec, the inventory kept in the registry.
#pragma once

#include <memory>

#include "cli/sweep/stages.h"
#include "core/status.h"
#include "platform/link/listen_io.h"
#include "platform/process/commands.h"
#include "platform/registry/registry_service.h"

namespace ps::cli {

// What the watch needs beyond the sweep's platform; tests give fakes.
struct WatchServices {
  platform::RegistryService* registry = nullptr;
  platform::Commands* commands = nullptr;
  // Null: no passive listening (sweeps only, said once).
  Result<std::unique_ptr<platform::LinkListener>> (*open_listener)(int ifindex) = nullptr;
};

// The real ones: the registry's default files, /bin/sh, packet sockets.
WatchServices SystemWatchServices();

// Whether the options ask for the watch rather than a sweep.
bool WantsWatch(const Options& o);

// Runs --watch, --changes or --inventory; the exit code.
int RunWatch(const RunContext& run, const WatchServices& services);

}  // namespace ps::cli
