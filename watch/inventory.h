// The devices the watch knows, with the state of their liveness, and which
// device answers from each address on a link. Bounded: a flood of forged
// packets with random MACs fills it to its cap and no further.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "watch/device.h"

namespace ps::watch {

// Devices kept at most by default: a /16 of hosts. Each takes a few hundred
// bytes, so a full inventory stays within tens of megabytes.
inline constexpr std::size_t kDefaultMaxDevices = 65536;

// What the engine tracks between sweeps; never stored.
struct Liveness {
  static constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::min();
  bool heard = false;                       // since the last sweep ended
  int missed = 0;                           // sweeps ended in a row without a word from it
  bool up = true;                           // what the sweeps say, announced or not
  std::int64_t announced_down_ns = kNever;  // monotonic time of its last `offline`
  bool changed = false;                     // to be stored; listed once until taken
};

struct Entry {
  Device device;
  Liveness live;
};

class Inventory {
 public:
  explicit Inventory(std::size_t max_devices = kDefaultMaxDevices) : max_(max_devices) {}

  std::size_t size() const { return entries_.size(); }
  std::size_t max_devices() const { return max_; }
  bool full() const { return entries_.size() >= max_; }

  Entry* Find(const std::string& id);
  // Adds `device` (its addresses indexed), up as it was last announced.
  // nullptr when the inventory is full or the id is taken.
  Entry* Insert(Device device);
  // Adds many at once (a stored inventory), faster than one by one: sorted
  // by id first, so each goes in at the end of the map. Returns how many
  // went in; the rest were over the cap or had an id taken.
  std::size_t InsertAll(std::vector<Device> devices);
  // The device on a link that answered last from `address`, or nullptr.
  Entry* Owner(const IpAddress& address);

  // Records that `entry` answered from `address` at `now`: the address moves to
  // the front of its list (the oldest beyond kMaxAddresses goes). True when
  // the device did not have it.
  bool Touch(Entry& entry, const IpAddress& address, UnixMs now);
  // Takes `address` away from `entry` (another device has it now).
  void Release(Entry& entry, const IpAddress& address);

  // In id order, so that events of one sweep come out in a stable order.
  std::map<std::string, Entry>& entries() { return entries_; }
  const std::map<std::string, Entry>& entries() const { return entries_; }

 private:
  Entry* InsertAt(std::map<std::string, Entry>::iterator hint, Device device);

  std::size_t max_;
  std::map<std::string, Entry> entries_;
  std::unordered_map<IpAddress, Entry*, IpAddressHash> owners_;  // devices with a MAC only
};

}  // namespace ps::watch
