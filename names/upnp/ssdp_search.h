// One SSDP search per sweep and the UPnP descriptions of the hosts that
// answer it: what names a TV, a NAS or a media server that has no DNS name.
//
// How the names pipeline drives it:
//   SsdpSearch search(SystemUdpOpener(), &SystemMonotonicClock(), is_target);
//   search.Start(links, /*mx_seconds=*/1, answers_until_ns);  // one M-SEARCH per link
//   search.Poll(until_ns);            // as often as it likes, from one thread
//   auto devices = DescribeHosts(search, hosts_that_answered, SystemHttpFetcher(), deadline_ns);
//
// Trust: an answer counts only when it came, unicast, to our own search
// socket, on an interface we searched, from an address the sweep targets,
// before the answer deadline, is a well-formed "200 OK" answer, and its
// LOCATION names the sender's own address (ssdp_message.h). Only then is its
// description fetched, from that address alone, size- and time-capped, and
// only for hosts the caller names (those that answered the sweep). The
// description is parsed by ParseDeviceDescription (bounded, escaped fields).
// SSDP has no transaction id: the fresh ephemeral port per search and the
// deadline stand in for one. The process must have given up its
// capabilities before Poll or DescribeHosts read anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/ip_address.h"
#include "core/status.h"
#include "names/upnp/device_description.h"
#include "names/upnp/ssdp_message.h"
#include "platform/clock/monotonic_clock.h"
#include "platform/http/http_fetch.h"
#include "platform/inet/udp_io.h"

namespace ps::names::upnp {

// An interface that carries on-link targets of the sweep, and their family.
struct SsdpLink {
  std::uint32_t interface_index = 0;
  IpAddress::Family family = IpAddress::Family::kV4;
  bool operator==(const SsdpLink&) const = default;
};

// What became of the datagrams read (for tests and --verbose counts).
struct SsdpCounts {
  std::size_t taken = 0;          // answers whose location was kept
  std::size_t not_ours = 0;       // wrong interface, multicast, late, foreign family
  std::size_t not_target = 0;     // from an address the sweep does not target
  std::size_t malformed = 0;      // not a bounded "200 OK" answer with LOCATION and ST
  std::size_t foreign_location = 0;  // LOCATION not http://<the sender's own address>
  std::size_t over_capacity = 0;  // more hosts than kMaxSsdpHosts
};

// Hosts kept per search; answers from further hosts are dropped.
inline constexpr std::size_t kMaxSsdpHosts = 4096;
// Distinct description locations kept per host. A host may hold several root
// devices, and an answer forged in the host's name must not hide its own.
inline constexpr std::size_t kMaxLocationsPerHost = 4;

class SsdpSearch {
 public:
  // `is_target`: whether an address is one the sweep targets.
  SsdpSearch(platform::UdpOpener* opener, platform::MonotonicClock* clock,
             std::function<bool(const IpAddress&)> is_target);
  ~SsdpSearch();
  SsdpSearch(const SsdpSearch&) = delete;
  SsdpSearch& operator=(const SsdpSearch&) = delete;

  // Opens one socket per family of `links` (an ephemeral port) and sends one
  // M-SEARCH per link to its family's group on its interface. Answers count
  // until `answer_deadline_ns` (monotonic). Call once. Fails only when no
  // search could be sent at all; a link that fails is skipped.
  Status Start(std::span<const SsdpLink> links, int mx_seconds, std::int64_t answer_deadline_ns);

  // Reads and weighs answers until `until_ns` or the answer deadline,
  // whichever is first. Returns at once after the deadline.
  void Poll(std::int64_t until_ns);

  // Weighs one datagram as if read from this search's socket of `family`.
  // True when it was kept. Poll calls it; tests feed it directly.
  bool Offer(std::span<const std::uint8_t> datagram, const platform::UdpPeer& peer,
             IpAddress::Family family);

  struct Location {
    DescriptionUrl url;
    std::string server;  // the SERVER header of the answer, SafeField'ed
  };
  struct Answer {
    // Where the host's descriptions are, root devices' (ST upnp:rootdevice)
    // first, then in the order they came; distinct, at most
    // kMaxLocationsPerHost.
    std::vector<Location> locations;
    std::uint32_t interface_index = 0;
    std::size_t roots = 0;  // locations[0, roots) came with ST upnp:rootdevice
  };
  // Every host kept so far and where its descriptions are.
  const std::map<IpAddress, Answer>& answers() const { return answers_; }
  const SsdpCounts& counts() const { return counts_; }

 private:
  struct Channel;
  bool Searched(IpAddress::Family family, std::uint32_t interface_index) const;

  platform::UdpOpener* opener_;
  platform::MonotonicClock* clock_;
  std::function<bool(const IpAddress&)> is_target_;
  std::vector<std::unique_ptr<Channel>> channels_;
  std::vector<SsdpLink> links_;
  std::int64_t answer_deadline_ns_ = 0;
  std::map<IpAddress, Answer> answers_;
  SsdpCounts counts_;
};

// A device as its description names it, with the SERVER header of the
// answer that pointed at that description.
struct UpnpDevice {
  DeviceDescription description;
  std::string server;
  bool operator==(const UpnpDevice&) const = default;
};

// Fetches, concurrently through `fetcher`, every kept description of those
// of `hosts` that `search` kept an answer from, each body capped at
// kMaxDescriptionBytes, all done by `deadline_ns`, and parses them. Returns
// one entry per host with a description that arrived (HTTP 200) and parsed,
// the first such in the host's order of locations; hosts not in `hosts` are
// never asked.
std::map<IpAddress, UpnpDevice> DescribeHosts(const SsdpSearch& search, std::span<const IpAddress> hosts,
                                              platform::HttpFetcher* fetcher, std::int64_t deadline_ns);

}  // namespace ps::names::upnp
