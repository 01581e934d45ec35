// gtest main for the window's tests: enters a private network namespace before
// any thread exists (Qt starts some), then runs the cases under a QApplication
// on the offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <optional>

#include "app/application.h"
#include "platform/netapi/net_services.h"
#include "testsupport/private_network.h"

namespace {

// Outside a private network no test may reach the real echo service, even one
// that forgets to install its fakes: the default one refuses to open.
class NoEchoService : public ps::platform::EchoService {
 public:
  ps::platform::IcmpHandle IcmpCreateFile() override { return 0; }
  ps::platform::DWORD IcmpSendEcho(ps::platform::IcmpHandle, ps::platform::IPAddr, const void*,
                                   ps::platform::WORD, const ps::platform::IP_OPTION_INFORMATION*,
                                   void*, ps::platform::DWORD, ps::platform::DWORD) override {
    return 0;
  }
  bool IcmpCloseHandle(ps::platform::IcmpHandle) override { return false; }
  std::u16string LastErrorText() override {
    return u"Tests outside a private network namespace send no echo requests.";
  }
};

}  // namespace

int main(int argc, char** argv) {
  const std::string reason = ps::testing::EnterPrivateNetwork();
  NoEchoService no_echo;
  std::optional<ps::platform::ScopedServices> guard;
  if (!reason.empty()) {
    std::fprintf(stderr, "note: no private network (%s); real-network cases skip\n",
                 reason.c_str());
    guard.emplace(ps::platform::NetServices{nullptr, &no_echo, nullptr, nullptr});
  }
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication application(argc, argv);
  ps::app::ConfigureApplication();
  // A test may close the only window; that must not end anything here.
  QApplication::setQuitOnLastWindowClosed(false);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
