#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/clock/monotonic_clock.h"
#include "platform/http/http_fetch.h"
#include "platform/http/linux_curl_library.h"
#include "testsupport/http_server.h"

namespace ps::platform {
namespace {

using ps::testing::HttpServer;

struct FetchCase {
  const char* name;
  const char* target;
  HttpServer::Response response;  // served at `target` when it is a safe one
  bool ok;
  int http_status;
  std::string body;
};

std::string Repeat(char c, std::size_t n) { return std::string(n, c); }

// Every request of one GetAll runs at once: a stalled server, an oversized
// document or a redirect spoils only its own reply, and nothing reaches a
// proxy named in the environment or a document a redirect points at.
TEST(CurlFetcherTest, EachRequestEndsOnItsOwnTerms) {
  HttpServer server;
  ASSERT_TRUE(server.ok());
  const std::string big = Repeat('x', 64 * 1024 + 1);
  const std::vector<FetchCase> cases = {
      {"plain", "/desc.xml", HttpServer::Ok("<root/>"), true, 200, "<root/>"},
      {"at the cap", "/cap", HttpServer::Ok(Repeat('y', 64 * 1024)), true, 200, Repeat('y', 64 * 1024)},
      {"missing", "/missing", {.raw = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"}, true, 404, ""},
      {"announced too long", "/big", HttpServer::Ok(big), false, 200, ""},
      {"too long, no length", "/stream", {.raw = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + big}, false,
       200, ""},
      {"redirect", "/moved",
       {.raw = "HTTP/1.1 302 Found\r\nLocation: /secret\r\nContent-Length: 0\r\n\r\n"}, true, 302, ""},
      {"stalled", "/stall", {.raw = "", .stall = true}, false, 0, ""},
      {"space", "/a b", {}, false, 0, ""},
      {"fragment", "/a#b", {}, false, 0, ""},
      {"backslash", "/a\\b", {}, false, 0, ""},
      {"not origin form", "desc.xml", {}, false, 0, ""},
      {"control byte", "/a\x01", {}, false, 0, ""},
  };
  server.Serve("/secret", HttpServer::Ok("secret"));
  std::vector<HttpGet> gets;
  for (const FetchCase& c : cases) {
    if (IsSafeRequestTarget(c.target)) server.Serve(c.target, c.response);
    gets.push_back({.address = *IpAddress::Parse("127.0.0.1"), .port = server.port(), .target = c.target});
  }
  ::setenv("http_proxy", "http://127.0.0.1:9/", 1);
  ::setenv("ALL_PROXY", "http://127.0.0.1:9/", 1);
  const std::int64_t start = SystemMonotonicClock().NowNs();
  const auto replies = SystemHttpFetcher()->GetAll(gets, {.deadline_ns = start + 1'500'000'000});
  const std::int64_t took_ms = (SystemMonotonicClock().NowNs() - start) / 1'000'000;
  ::unsetenv("http_proxy");
  ::unsetenv("ALL_PROXY");

  ASSERT_EQ(replies.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(replies[i].status.ok(), cases[i].ok) << replies[i].status.ToString();
    if (cases[i].ok) {
      EXPECT_EQ(replies[i].http_status, cases[i].http_status);
    }
    EXPECT_EQ(replies[i].body, cases[i].body);
  }
  // The deadline ends the stalled one (a bound on a hang, not a speed goal).
  EXPECT_LT(took_ms, 5000);
  int unsafe_requests = 0;
  for (const std::string& request : server.requests()) {
    EXPECT_EQ(request.find("GET /secret"), std::string::npos) << "a redirect was followed";
    EXPECT_EQ(request.find("Accept-Encoding"), std::string::npos);
    if (request.find("GET /a") == 0 || request.find("desc.xml HTTP") == 4) ++unsafe_requests;
  }
  EXPECT_EQ(unsafe_requests, 0) << "an unsafe target was sent";
}

// No time left: nothing is sent and every reply says so.
TEST(CurlFetcherTest, NothingLeavesAfterTheDeadline) {
  HttpServer server;
  ASSERT_TRUE(server.ok());
  server.Serve("/d", HttpServer::Ok("x"));
  const HttpGet get{.address = *IpAddress::Parse("127.0.0.1"), .port = server.port(), .target = "/d"};
  const auto replies =
      SystemHttpFetcher()->GetAll({&get, 1}, {.deadline_ns = SystemMonotonicClock().NowNs() - 1});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_FALSE(replies[0].status.ok());
  EXPECT_TRUE(server.requests().empty());
}

bool CurlMapped() {
  std::ifstream maps("/proc/self/maps");
  std::stringstream text;
  text << maps.rdbuf();
  return text.str().find("libcurl") != std::string::npos;
}
// Before any test has fetched.
const bool g_curl_at_start = CurlMapped();

// libcurl (and the libraries it needs) is loaded by Prepare() or the first
// fetch, not at start-up; without it, or with one that lacks a function,
// every request fails saying why and nothing is sent.
TEST(CurlFetcherTest, LoadsLibcurlAtTheFirstFetchAndSaysWhenItCannot) {
  HttpServer server;
  ASSERT_TRUE(server.ok());
  server.Serve("/d", HttpServer::Ok("x"));
  const HttpGet get{.address = *IpAddress::Parse("127.0.0.1"), .port = server.port(), .target = "/d"};
  const HttpLimits limits{.deadline_ns = SystemMonotonicClock().NowNs() + 3'000'000'000};
  const struct {
    const char* soname;
    const char* says;
  } absent[] = {{"libcurl-absent.so.4", "libcurl could not be loaded"},
                {"libm.so.6", "lacks curl_global_init"}};
  for (const auto& a : absent) {
    const auto fetcher = CurlFetcherOver(a.soname);
    fetcher->Prepare();
    const auto replies = fetcher->GetAll({&get, 1}, limits);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_NE(replies[0].status.message().find(a.says), std::string::npos)
        << replies[0].status.ToString();
  }
  EXPECT_TRUE(server.requests().empty());
  EXPECT_FALSE(g_curl_at_start);
  SystemHttpFetcher()->Prepare();
  EXPECT_TRUE(CurlMapped());
  const auto replies = SystemHttpFetcher()->GetAll({&get, 1}, limits);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_TRUE(replies[0].status.ok()) << replies[0].status.ToString();
  EXPECT_EQ(replies[0].body, "x");
  EXPECT_TRUE(CurlMapped());
}

}  // namespace
}  // namespace ps::platform
