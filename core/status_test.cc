// Status and Result: what a failure says to the user, and a value or its failure.
#include "core/status.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>

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

TEST(StatusTest, AResultHoldsAValueOrWhyThereIsNone) {
  Result<std::unique_ptr<int>> value = std::make_unique<int>(7);
  ASSERT_TRUE(value.ok());
  EXPECT_TRUE(value.status().ok());
  const std::unique_ptr<int> taken = std::move(value).value();  // move-only values move out
  EXPECT_EQ(*taken, 7);

  const Result<int> failed = Status::Failure("the ARP socket failed", EBADF);
  EXPECT_FALSE(failed.ok());
  EXPECT_EQ(failed.status().system_error(), EBADF);
  EXPECT_EQ(failed.status().message(), "the ARP socket failed");
}

}  // namespace
}  // namespace ps
