// No HTTP client on Windows yet: every request fails, saying so, and the
// names that need one (UPnP descriptions) are simply not found there.
#include "platform/http/http_fetch.h"

namespace ps::platform {
namespace {

class NoHttpFetcher : public HttpFetcher {
 public:
  std::vector<HttpReply> GetAll(std::span<const HttpGet> requests, const HttpLimits&) override {
    std::vector<HttpReply> replies(requests.size());
    for (HttpReply& r : replies) r.status = Status::Failure("HTTP is not available on this system");
    return replies;
  }
  std::string WhyUnavailable() const override {
    return "the Windows build has no HTTP client to read the device descriptions that name "
           "UPnP devices";
  }
};

}  // namespace

HttpFetcher* SystemHttpFetcher() {
  static NoHttpFetcher fetcher;
  return &fetcher;
}

}  // namespace ps::platform
