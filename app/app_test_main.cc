// gtest main for the window's tests: enters a private network namespace before
// any thread exists (Qt starts some), then runs the cases under a QApplication
// on the offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/application.h"
#include "testsupport/private_network.h"

int main(int argc, char** argv) {
  const std::string reason = ps::testing::EnterPrivateNetwork();
  if (!reason.empty()) {
    std::fprintf(stderr, "note: no private network (%s); real-network cases skip\n",
                 reason.c_str());
  }
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication application(argc, argv);
  ps::app::ConfigureApplication();
  // A test may close the only window; that must not end anything here.
  QApplication::setQuitOnLastWindowClosed(false);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
