#include "watch/watcher.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace ps::watch {
namespace {

std::string Cut(std::string text) {
  if (text.size() > kMaxTextBytes) text.resize(kMaxTextBytes);
  return text;
}

}  // namespace

UnixMs ToUnixMs(const platform::SYSTEMTIME& t) {
  using namespace std::chrono;
  const sys_days day{year{t.wYear} / month{t.wMonth} / std::chrono::day{t.wDay}};
  const auto time = day + hours{t.wHour} + minutes{t.wMinute} + seconds{t.wSecond} +
                    milliseconds{t.wMilliseconds};
  return duration_cast<milliseconds>(time.time_since_epoch()).count();
}

Watcher::Watcher(WatchConfig config, platform::MonotonicClock& clock, platform::SystemClock& wall)
    : config_(config), clock_(clock), wall_(wall), inventory_(config.max_devices) {}

bool Watcher::Adopt(Device device) { return inventory_.Insert(std::move(device)) != nullptr; }

std::size_t Watcher::AdoptAll(std::vector<Device> devices) {
  return inventory_.InsertAll(std::move(devices));
}

void Watcher::MarkChanged(Entry& entry) {
  if (entry.live.changed) return;
  entry.live.changed = true;
  changed_.push_back(entry.device.id);
}

std::vector<std::string> Watcher::TakeChanged() {
  std::vector<std::string> ids = std::move(changed_);
  changed_.clear();
  for (const std::string& id : ids) {
    if (Entry* e = inventory_.Find(id)) e->live.changed = false;
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

UnixMs Watcher::WallNow() {
  platform::SYSTEMTIME t{};
  wall_.GetSystemTime(&t);
  return ToUnixMs(t);
}

Event Watcher::Make(EventKind kind, const Entry& entry, UnixMs now) const {
  Event e;
  e.kind = kind;
  e.time = now;
  e.device = entry.device.id;
  e.mac = entry.device.mac;
  if (!entry.device.addresses.empty()) e.address = entry.device.addresses.front().address;
  return e;
}

void Watcher::Observe(const Observation& seen, std::vector<Event>* events) {
  if (seen.mac && (seen.mac->IsGroup() || seen.mac->IsZero())) return;  // never a station's
  if (!seen.mac && !seen.address) return;
  const std::string id = seen.mac ? DeviceId(*seen.mac) : DeviceId(*seen.address);
  const UnixMs now = WallNow();
  Entry* entry = inventory_.Find(id);
  const bool fresh = entry == nullptr;
  if (fresh) {
    entry = Enroll(seen, id, now, events);
    if (entry == nullptr) return;
  } else {
    entry->device.last_seen = now;
    if (!seen.vendor.empty()) entry->device.vendor = Cut(seen.vendor);
    if (!entry->device.online) {
      entry->device.online = true;
      events->push_back(Make(EventKind::kOnline, *entry, now));
    }
  }
  entry->live.heard = true;
  entry->live.up = true;
  entry->live.missed = 0;
  entry->device.missed = 0;
  MarkChanged(*entry);
  if (seen.address) SeeAddress(*entry, *seen.address, fresh, now, events);
  SeeNames(*entry, seen, fresh, now, events);
}

Entry* Watcher::Enroll(const Observation& seen, const std::string& id, UnixMs now,
                       std::vector<Event>* events) {
  Device device;
  device.id = id;
  device.mac = seen.mac;
  device.first_seen = device.last_seen = now;
  device.randomized = seen.mac && seen.mac->IsLocallyAdministered();
  device.vendor = Cut(seen.vendor);
  Entry* entry = inventory_.Insert(std::move(device));
  if (entry == nullptr) {
    if (!warned_full_) {
      warned_full_ = true;
      Event e;
      e.kind = EventKind::kFull;
      e.time = now;
      e.count = inventory_.max_devices();
      events->push_back(std::move(e));
    }
    return nullptr;
  }
  Event e = Make(EventKind::kNew, *entry, now);
  e.address = seen.address;
  e.vendor = entry->device.vendor;
  for (const NameBy& n : seen.names) {
    if (n.name.empty()) continue;
    e.name = Cut(n.name);
    e.source = Cut(n.source);
    break;
  }
  events->push_back(std::move(e));
  return entry;
}

void Watcher::SeeAddress(Entry& entry, const IpAddress& address, bool fresh_device, UnixMs now,
                         std::vector<Event>* events) {
  Entry* owner = entry.device.mac ? inventory_.Owner(address) : nullptr;
  bool conflict = false;
  std::optional<MacAddress> owner_mac;
  if (owner != nullptr && owner != &entry) {
    const std::int64_t window_ms = config_.quiet_for_ns / 1'000'000;
    for (const SeenAddress& a : owner->device.addresses) {
      if (a.address == address) conflict = now - a.last_seen < window_ms;
    }
    owner_mac = owner->device.mac;
    inventory_.Release(*owner, address);
    MarkChanged(*owner);
  }
  std::optional<IpAddress> previous;
  for (const SeenAddress& a : entry.device.addresses) {
    if (a.address.family() == address.family() && a.address != address) {
      previous = a.address;
      break;
    }
  }
  const bool added = inventory_.Touch(entry, address, now);
  if (conflict) {
    Event e = Make(EventKind::kConflict, entry, now);
    e.previous_mac = owner_mac;
    events->push_back(std::move(e));
  } else if (added && !fresh_device) {
    Event e = Make(EventKind::kAddress, entry, now);
    e.previous_address = previous;
    events->push_back(std::move(e));
  }
}

void Watcher::SeeNames(Entry& entry, const Observation& seen, bool fresh_device, UnixMs now,
                       std::vector<Event>* events) {
  auto& names = entry.device.names;
  for (const NameBy& given : seen.names) {
    if (given.name.empty()) continue;
    NameBy n{Cut(given.source), Cut(given.name)};
    auto it = std::find_if(names.begin(), names.end(),
                           [&](const NameBy& k) { return k.source == n.source; });
    if (it != names.end() && it->name == n.name) continue;
    if (it == names.end() && names.size() >= kMaxNames) continue;
    std::string previous = it == names.end() ? "" : it->name;
    if (it == names.end()) {
      names.push_back(n);
    } else {
      it->name = n.name;
    }
    if (fresh_device) continue;
    Event e = Make(EventKind::kName, entry, now);
    e.name = std::move(n.name);
    e.previous_name = std::move(previous);
    e.source = std::move(n.source);
    events->push_back(std::move(e));
  }
}

void Watcher::EndSweep(std::vector<Event>* events) {
  const std::int64_t now_ns = clock_.NowNs();
  const UnixMs now = WallNow();
  const int k = std::max(config_.sweeps_to_offline, 1);
  for (auto& [id, entry] : inventory_.entries()) {
    Liveness& live = entry.live;
    if (live.heard) {
      live.missed = 0;
    } else if (live.missed < k) {
      ++live.missed;
    }
    live.heard = false;
    if (live.missed != entry.device.missed) {
      entry.device.missed = live.missed;
      MarkChanged(entry);
    }
    if (live.missed >= k) live.up = false;
    if (!entry.device.online || live.up) continue;
    if (live.announced_down_ns != Liveness::kNever &&
        now_ns - live.announced_down_ns < config_.quiet_for_ns) {
      continue;  // flapping: announced once this quiet period already
    }
    entry.device.online = false;
    live.announced_down_ns = now_ns;
    MarkChanged(entry);
    events->push_back(Make(EventKind::kOffline, entry, now));
  }
}

}  // namespace ps::watch
