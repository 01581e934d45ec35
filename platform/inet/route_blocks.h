// Which destinations routing treats alike. Two addresses that every route and
// rule prefix holds both or neither of go out the same way, from the same
// source address; so one lookup of the source serves a whole block of
// targets, and a /16 behind one route costs one lookup, not 65,536.
#pragma once

#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "core/ip_address.h"

namespace ps::platform {

struct RoutePrefix {
  IpAddress network;
  int length = 0;
  bool multipath = false;  // its next hop (and so the source) is chosen per destination
};

// Whether the first `length` bits of `a` and `b` (one family) agree.
bool SamePrefix(const IpAddress& a, const IpAddress& b, int length);
// `address` with every bit after the first `length` cleared.
IpAddress MaskTo(const IpAddress& address, int length);

class RouteBlocks {
 public:
  RouteBlocks() = default;
  // The prefixes of every route (all tables) and every rule's destination.
  explicit RouteBlocks(std::vector<RoutePrefix> prefixes) : prefixes_(std::move(prefixes)) {}

  // The prefix length of the largest aligned block around `address` that no
  // prefix cuts; the full length (the address alone) inside a multipath route.
  int BlockLength(const IpAddress& address) const;

 private:
  std::vector<RoutePrefix> prefixes_;
};

// The source address for each destination, looked up once per block.
class RouteSourceCache {
 public:
  using Lookup = std::function<std::optional<IpAddress>(const IpAddress& destination)>;
  RouteSourceCache(RouteBlocks blocks, Lookup lookup)
      : blocks_(std::move(blocks)), lookup_(std::move(lookup)) {}

  std::optional<IpAddress> Source(const IpAddress& destination);

 private:
  struct Entry {
    IpAddress network;
    int length;
    std::optional<IpAddress> source;
  };
  RouteBlocks blocks_;
  Lookup lookup_;
  std::vector<Entry> entries_;  // the one used last first
};

}  // namespace ps::platform
