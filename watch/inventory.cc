#include "watch/inventory.h"

#include <algorithm>
#include <utility>

namespace ps::watch {

std::string DeviceId(const MacAddress& mac) { return mac.ToString(); }
std::string DeviceId(const IpAddress& address) { return "ip:" + address.ToString(); }

Entry* Inventory::Find(const std::string& id) {
  const auto it = entries_.find(id);
  return it == entries_.end() ? nullptr : &it->second;
}

Entry* Inventory::Insert(Device device) { return InsertAt(entries_.end(), std::move(device)); }

std::size_t Inventory::InsertAll(std::vector<Device> devices) {
  std::sort(devices.begin(), devices.end(),
            [](const Device& a, const Device& b) { return a.id < b.id; });
  owners_.reserve(owners_.size() + devices.size());
  std::size_t added = 0;
  for (Device& d : devices) added += InsertAt(entries_.end(), std::move(d)) != nullptr;
  return added;
}

Entry* Inventory::InsertAt(std::map<std::string, Entry>::iterator hint, Device device) {
  if (full()) return nullptr;
  const std::size_t before = entries_.size();
  const auto it = entries_.try_emplace(hint, device.id);
  if (entries_.size() == before) return nullptr;  // the id is taken
  Entry& entry = it->second;
  entry.live.up = device.online;
  entry.live.missed = device.missed;
  entry.device = std::move(device);
  auto& addresses = entry.device.addresses;
  if (addresses.size() > kMaxAddresses) addresses.resize(kMaxAddresses);
  if (entry.device.mac) {
    // An address two stored records claim goes to the one that saw it last.
    for (const SeenAddress& a : addresses) {
      Entry*& owner = owners_[a.address];
      if (owner == nullptr || owner->device.last_seen <= entry.device.last_seen) owner = &entry;
    }
  }
  return &entry;
}

Entry* Inventory::Owner(const IpAddress& address) {
  const auto it = owners_.find(address);
  return it == owners_.end() ? nullptr : it->second;
}

bool Inventory::Touch(Entry& entry, const IpAddress& address, UnixMs now) {
  auto& list = entry.device.addresses;
  const auto it = std::find_if(list.begin(), list.end(),
                               [&](const SeenAddress& a) { return a.address == address; });
  const bool fresh = it == list.end();
  if (fresh) {
    if (list.size() >= kMaxAddresses) {
      const IpAddress oldest = list.back().address;  // a copy: Release erases the element
      Release(entry, oldest);
    }
    list.insert(list.begin(), SeenAddress{address, now});
  } else {
    it->last_seen = now;
    std::rotate(list.begin(), it, it + 1);
  }
  if (entry.device.mac) owners_[address] = &entry;
  return fresh;
}

void Inventory::Release(Entry& entry, const IpAddress& address) {
  auto& list = entry.device.addresses;
  std::erase_if(list, [&](const SeenAddress& a) { return a.address == address; });
  const auto it = owners_.find(address);
  if (it != owners_.end() && it->second == &entry) owners_.erase(it);
}

}  // namespace ps::watch
