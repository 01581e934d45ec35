// HttpFetcher over libcurl's multi interface: every request on its own easy
// handle, all driven by one loop until they end or the deadline passes.
// libcurl is loaded at the first request (linux_curl_library.h).
#include <algorithm>
#include <memory>

#include "platform/clock/monotonic_clock.h"
#include "platform/http/http_fetch.h"
#include "platform/http/linux_curl_library.h"

namespace ps::platform {
namespace {

struct Transfer {
  HttpReply* reply = nullptr;
  std::size_t cap = 0;
  bool too_long = false;
  bool done = false;
  char error[CURL_ERROR_SIZE] = {};
};

std::size_t Write(char* data, std::size_t size, std::size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const std::size_t n = size * count;
  if (t->reply->body.size() + n > t->cap) {
    t->too_long = true;
    return 0;  // curl ends the transfer with CURLE_WRITE_ERROR
  }
  t->reply->body.append(data, n);
  return n;
}

bool IsLinkLocalV6(const IpAddress& a) {
  return !a.is_v4() && a.data()[0] == 0xfe && (a.data()[1] & 0xc0) == 0x80;
}

std::string UrlFor(const HttpGet& get) {
  std::string host = get.address.ToString();
  if (!get.address.is_v4()) {
    std::string zone;
    if (IsLinkLocalV6(get.address) && get.interface_index != 0) {
      zone = "%25" + std::to_string(get.interface_index);
    }
    host = "[" + host + zone + "]";
  }
  return "http://" + host + ":" + std::to_string(get.port) + get.target;
}

// Everything that keeps a request to the one address and document it names.
void Configure(const CurlLibrary& c, CURL* easy, const std::string& url, Transfer* t,
               long timeout_ms) {
  c.easy_setopt(easy, CURLOPT_URL, url.c_str());
  c.easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http");
  c.easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  c.easy_setopt(easy, CURLOPT_PROXY, "");  // ignores http_proxy and the like
  c.easy_setopt(easy, CURLOPT_NOPROXY, "*");
  c.easy_setopt(easy, CURLOPT_DISALLOW_USERNAME_IN_URL, 1L);
  c.easy_setopt(easy, CURLOPT_NETRC, static_cast<long>(CURL_NETRC_IGNORED));
  c.easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  c.easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  c.easy_setopt(easy, CURLOPT_TIMEOUT_MS, timeout_ms);
  c.easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(t->cap));
  c.easy_setopt(easy, CURLOPT_USERAGENT, "PingSweep");
  c.easy_setopt(easy, CURLOPT_WRITEFUNCTION, Write);
  c.easy_setopt(easy, CURLOPT_WRITEDATA, t);
  c.easy_setopt(easy, CURLOPT_ERRORBUFFER, t->error);
  c.easy_setopt(easy, CURLOPT_PRIVATE, t);
}

void Finish(const CurlLibrary& c, CURL* easy, CURLcode code, Transfer* t) {
  t->done = true;
  long status = 0;
  c.easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  t->reply->http_status = static_cast<int>(status);
  if (code == CURLE_OK) return;
  t->reply->body.clear();
  if (t->too_long || code == CURLE_FILESIZE_EXCEEDED) {
    t->reply->status = Status::Failure("the document is longer than " + std::to_string(t->cap) + " bytes");
  } else {
    t->reply->status = Status::Failure(t->error[0] != '\0' ? t->error : c.easy_strerror(code));
  }
}

struct EasyDeleter {
  const CurlLibrary* c;
  void operator()(CURL* easy) const { c->easy_cleanup(easy); }
};
struct MultiDeleter {
  const CurlLibrary* c;
  void operator()(CURLM* multi) const { c->multi_cleanup(multi); }
};

// Runs the added transfers until all end or the deadline passes.
void Drive(const CurlLibrary& c, CURLM* multi, std::int64_t deadline_ns) {
  MonotonicClock& clock = SystemMonotonicClock();
  for (;;) {
    int running = 0;
    c.multi_perform(multi, &running);
    int left = 0;
    while (CURLMsg* m = c.multi_info_read(multi, &left)) {
      if (m->msg != CURLMSG_DONE) continue;
      Transfer* t = nullptr;
      c.easy_getinfo(m->easy_handle, CURLINFO_PRIVATE, &t);
      Finish(c, m->easy_handle, m->data.result, t);
    }
    const std::int64_t left_ns = deadline_ns - clock.NowNs();
    if (running == 0 || left_ns <= 0) return;
    const int wait_ms = static_cast<int>(std::clamp<std::int64_t>(left_ns / 1'000'000 + 1, 1, 100));
    c.multi_poll(multi, nullptr, 0, wait_ms, nullptr);
  }
}

class CurlFetcher : public HttpFetcher {
 public:
  explicit CurlFetcher(const char* soname) : soname_(soname) {}

  void Prepare() override {
    std::string why;
    (void)LoadCurl(soname_.c_str(), &why);
  }

  std::vector<HttpReply> GetAll(std::span<const HttpGet> requests, const HttpLimits& limits) override {
    std::vector<HttpReply> replies(requests.size());
    std::string why;
    const CurlLibrary* c = LoadCurl(soname_.c_str(), &why);
    if (c == nullptr) return Failed(std::move(replies), why.c_str());
    std::vector<Transfer> transfers(requests.size());
    std::vector<std::unique_ptr<CURL, EasyDeleter>> easies;
    std::unique_ptr<CURLM, MultiDeleter> multi(c->multi_init(), MultiDeleter{c});
    if (!multi) return Failed(std::move(replies), "libcurl could not start");
    c->multi_setopt(multi.get(), CURLMOPT_MAX_TOTAL_CONNECTIONS,
                    static_cast<long>(std::max<std::size_t>(limits.max_parallel, 1)));
    const std::int64_t left_ms = (limits.deadline_ns - SystemMonotonicClock().NowNs()) / 1'000'000;
    for (std::size_t i = 0; i < requests.size(); ++i) {
      Transfer& t = transfers[i];
      t.reply = &replies[i];
      t.cap = limits.max_body_bytes;
      if (!IsSafeRequestTarget(requests[i].target)) {
        Fail(t, "the request target is not plain printable ASCII");
      } else if (left_ms <= 0) {
        Fail(t, "no time was left");
      } else if (CURL* easy = c->easy_init()) {
        easies.emplace_back(easy, EasyDeleter{c});
        Configure(*c, easy, UrlFor(requests[i]), &t, static_cast<long>(left_ms));
        c->multi_add_handle(multi.get(), easy);
      } else {
        Fail(t, "libcurl could not start");
      }
    }
    Drive(*c, multi.get(), limits.deadline_ns);
    for (auto& easy : easies) c->multi_remove_handle(multi.get(), easy.get());
    for (Transfer& t : transfers) {
      if (!t.done) Fail(t, "timed out");
    }
    return replies;
  }

 private:
  static void Fail(Transfer& t, const char* why) {
    t.done = true;
    t.reply->body.clear();
    t.reply->status = Status::Failure(why);
  }
  static std::vector<HttpReply> Failed(std::vector<HttpReply> replies, const char* why) {
    for (HttpReply& r : replies) r.status = Status::Failure(why);
    return replies;
  }

  std::string soname_;
};

}  // namespace

std::unique_ptr<HttpFetcher> CurlFetcherOver(const char* soname) {
  return std::make_unique<CurlFetcher>(soname);
}

HttpFetcher* SystemHttpFetcher() {
  static CurlFetcher fetcher("libcurl.so.4");
  return &fetcher;
}

}  // namespace ps::platform
