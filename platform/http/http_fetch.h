// Plain HTTP GETs of small documents from hosts of the local network (the
// UPnP device descriptions that SSDP answers point at), many at once and
// within one deadline. Deliberately narrow: http only, the host given as an
// address (never a name to resolve), no redirects, no proxies from the
// environment, no content decoding, the body capped. What comes back is
// untrusted: callers parse it, bounded, after privileges are dropped.
// The Linux implementation is libcurl's multi interface (linux_curl.cc), the
// library loaded at the first fetch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/ip_address.h"
#include "core/status.h"

namespace ps::platform {

struct HttpGet {
  IpAddress address;                // connected to as is: no name is resolved
  std::uint16_t port = 80;
  std::uint32_t interface_index = 0;  // the zone of a link-local IPv6 address
  // The request target in origin form, "/path?query": it must start with '/'
  // and hold only printable ASCII other than space, '#' and '\'; a request
  // whose target does not fails without being sent.
  std::string target;
};

struct HttpLimits {
  std::size_t max_body_bytes = 64 * 1024;  // a longer body fails the request
  std::int64_t deadline_ns = 0;            // on SystemMonotonicClock(); every request ends by then
  std::size_t max_parallel = 32;           // connections open at once
};

struct HttpReply {
  Status status;         // not ok: nothing (usable) arrived, and why
  int http_status = 0;   // the response's status code when one arrived (200, 404, ...)
  std::string body;      // at most max_body_bytes, as received (unchecked bytes)
};

class HttpFetcher {
 public:
  virtual ~HttpFetcher() = default;
  // GETs every request concurrently; returns one reply per request, in the
  // same order, by limits.deadline_ns at the latest. Thread-safe.
  virtual std::vector<HttpReply> GetAll(std::span<const HttpGet> requests, const HttpLimits& limits) = 0;
  // Readies what the first GetAll needs (the Linux one loads libcurl), so
  // that its deadline is spent on the network. Optional and idempotent; a
  // failure here is reported by GetAll. Thread-safe; call it only once the
  // privileges are dropped.
  virtual void Prepare() {}
  // Empty when this system can fetch at all, else why not (a build with no
  // HTTP client): the names that need a fetch are then not asked.
  virtual std::string WhyUnavailable() const { return {}; }
};

// The process-wide real implementation.
HttpFetcher* SystemHttpFetcher();

// Whether `target` may be sent (see HttpGet::target); backends check it
// before anything leaves.
bool IsSafeRequestTarget(std::string_view target);

}  // namespace ps::platform
