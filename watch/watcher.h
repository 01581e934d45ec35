// The event engine: keeps the inventory up to date from observations (the
// answers of each sweep with their MACs, packets seen passively) and says what
// changed, as events. It never calls the operating system: time comes from the
// clocks it is given, and storing the inventory is the caller's
// (inventory_store.h, fed by TakeChanged()).
//
// Liveness: a device is heard when an observation names it. When a sweep ends,
// a device not heard since the previous one ended has missed it; after
// `sweeps_to_offline` misses in a row it is down, and `offline` is announced.
// A device heard again after `offline` is announced `online` at once. Flapping
// is damped: after an `offline`, the next one waits until `quiet_for` has
// passed (and is announced then only if the device is still down), so a
// device gives at most one offline/online pair per quiet_for.
//
// Addresses: a device that answers from an address it did not have gets
// `address`. An address that answers from another MAC than the device that
// answered from it within quiet_for gets `conflict` (a warning: possible
// spoofing); either way the address moves to the device that answers now. An
// address left longer than that changes hands silently (a DHCP lease given
// again).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/clock/monotonic_clock.h"
#include "platform/netapi/net_services.h"
#include "watch/event.h"
#include "watch/inventory.h"

namespace ps::watch {

struct WatchConfig {
  int sweeps_to_offline = 2;                    // K
  std::int64_t quiet_for_ns = 300'000'000'000;  // 5 minutes
  std::size_t max_devices = kDefaultMaxDevices;
};

// The wall-clock reading as milliseconds since the epoch.
UnixMs ToUnixMs(const platform::SYSTEMTIME& t);

class Watcher {
 public:
  Watcher(WatchConfig config, platform::MonotonicClock& clock, platform::SystemClock& wall);

  // Devices known from before (a stored inventory): announced nothing. False
  // when the inventory is full or the id is taken.
  bool Adopt(Device device);
  // All of a stored inventory at once; how many were adopted.
  std::size_t AdoptAll(std::vector<Device> devices);
  // Appends what `seen` changed to *events.
  void Observe(const Observation& seen, std::vector<Event>* events);
  // One sweep has ended: counts the misses, appends the `offline`s due.
  void EndSweep(std::vector<Event>* events);

  const Inventory& inventory() const { return inventory_; }
  // The ids of the devices changed since the last call, in id order.
  std::vector<std::string> TakeChanged();

 private:
  Entry* Enroll(const Observation& seen, const std::string& id, UnixMs now,
                std::vector<Event>* events);
  void SeeAddress(Entry& entry, const IpAddress& address, bool fresh_device, UnixMs now,
                  std::vector<Event>* events);
  void SeeNames(Entry& entry, const Observation& seen, bool fresh_device, UnixMs now,
                std::vector<Event>* events);
  Event Make(EventKind kind, const Entry& entry, UnixMs now) const;
  void MarkChanged(Entry& entry);
  UnixMs WallNow();

  WatchConfig config_;
  platform::MonotonicClock& clock_;
  platform::SystemClock& wall_;
  Inventory inventory_;
  bool warned_full_ = false;
  std::vector<std::string> changed_;
};

}  // namespace ps::watch
