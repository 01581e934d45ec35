// What a Status says to the user.
#include "core/status.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace ps {
namespace {

TEST(StatusTest, SaysWhatFailedAndTheSystemsReasonOnOneLine) {
  const std::string enoent = std::strerror(ENOENT);
  const struct {
    Status status;
    bool ok;
    std::string text;
  } cases[] = {
      {Status::Ok(), true, ""},
      {Status::Failure("no interface named eth9"), false, "no interface named eth9"},
      {Status::Failure("'hosts.txt': cannot read", ENOENT), false,
       "'hosts.txt': cannot read: " + enoent},
      {Status::SystemError(ENOENT), false, enoent},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.status.ok(), c.ok) << c.text;
    EXPECT_EQ(static_cast<bool>(c.status), c.ok) << c.text;
    EXPECT_EQ(c.status.ToString(), c.text);
  }
}

// The numbers the Windows backends turn Winsock's errors into have texts
// there too (mingw-w64's C runtime calls them all "Unknown error").
TEST(StatusTest, SocketErrorsHaveTheirTextOnEverySystem) {
  const struct {
    int error;
    const char* text;
  } cases[] = {
      {EAFNOSUPPORT, "Address family not supported by protocol"},
      {EHOSTUNREACH, "No route to host"},
      {ENETUNREACH, "Network is unreachable"},
      {ENOBUFS, "No buffer space available"},
      {ENOTSUP, "Operation not supported"},
      {ECONNREFUSED, "Connection refused"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Status::Failure("the ICMP socket failed", c.error).ToString(),
              std::string("the ICMP socket failed: ") + c.text);
  }
}

}  // namespace
}  // namespace ps
