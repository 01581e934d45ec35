// gtest main for tests that send real packets: enters a private network and
// mount namespace before any thread exists, then runs the tests (those that
// need the namespace skip themselves when it could not be made).
#include <gtest/gtest.h>

#include <cstdio>

#include "testsupport/private_network.h"

int main(int argc, char** argv) {
  const std::string reason = ps::testing::EnterPrivateNetwork();
  if (!reason.empty()) {
    std::fprintf(stderr, "private network namespace unavailable (%s): real-network tests skip\n",
                 reason.c_str());
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
