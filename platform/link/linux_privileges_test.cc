#include <sys/capability.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "platform/link/packet_io.h"
#include "platform/link/privileges.h"

namespace ps::platform {
namespace {

// In a child process, so the test runner keeps its own capabilities.
[[noreturn]] void DropAndCheck(int socket_opened_before) {
  Privileges& privileges = SystemPrivileges();
  auto before = SystemPacketNetwork().OpenArp(0);
  if (before.ok() != (socket_opened_before != 0)) std::_Exit(10);
  if (const Status dropped = privileges.DropAll(); !dropped.ok()) {
    std::fprintf(stderr, "%s\n", dropped.ToString().c_str());
    std::_Exit(11);
  }
  if (privileges.HasNetRaw()) std::_Exit(12);
  cap_t now = cap_get_proc();
  cap_t none = cap_init();
  const bool all_clear = cap_compare(now, none) == 0;
  cap_free(now);
  cap_free(none);
  if (!all_clear) std::_Exit(13);
  if (CAP_AMBIENT_SUPPORTED() && cap_get_ambient(CAP_NET_RAW) != 0) std::_Exit(14);
  if (geteuid() == 0 && cap_get_bound(CAP_NET_RAW) != 0) std::_Exit(15);
  if (prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) != 1) std::_Exit(16);
  // A new socket is refused; the one opened before still works.
  const auto after = SystemPacketNetwork().OpenArp(0);
  if (after.ok() || after.status().system_error() != EPERM) std::_Exit(17);
  if (before.ok()) {
    IncomingFrame frame;
    if (!before.value()->Receive(std::span(&frame, 1), 0).ok()) std::_Exit(18);
  }
  std::_Exit(0);
}

TEST(LinuxPrivilegesTest, DropAllLeavesNoCapabilityAndOpenSocketsWork) {
  const bool root = SystemPrivileges().HasNetRaw();
  if (!root) GTEST_SKIP() << "needs CAP_NET_RAW to have something to drop";
  EXPECT_EXIT(DropAndCheck(1), ::testing::ExitedWithCode(0), "");
  // Dropping twice is harmless.
  EXPECT_EXIT(
      {
        (void)SystemPrivileges().DropAll();
        std::_Exit(SystemPrivileges().DropAll().ok() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(LinuxPrivilegesTest, MissingCapabilityIsExplained) {
  EXPECT_NE(PacketSocketErrorText(EPERM).find("CAP_NET_RAW"), std::string::npos);
  EXPECT_NE(PacketSocketErrorText(ENODEV).find("No such device"), std::string::npos);
}

}  // namespace
}  // namespace ps::platform
