// gtest main for the window's tests: enters a private network namespace before
// any thread exists (Qt starts some), then runs the cases under a QApplication
// on the offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryFile>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

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

// The offscreen platform's screens: its default one first (the primary screen
// every test uses unless it asks for another), then, side by side, screens of
// widths at which QMessageBox limits its width differently (at most the screen
// up to 1,024 logical pixels, 480 less up to 1,480). 1093 x 614 is 1366 x 768
// at 1.25 times scaling.
bool WriteScreens(QTemporaryFile& file) {
  QJsonArray screens{QJsonObject{{"name", ""}, {"width", 800}, {"height", 800}}};
  int x = 800;
  for (const auto& [width, height] :
       {std::pair{1025, 768}, {1093, 614}, {1152, 864}, {1200, 900}, {1920, 1080}}) {
    screens.append(QJsonObject{{"name", QStringLiteral("%1x%2").arg(width).arg(height)},
                               {"x", x},
                               {"width", width},
                               {"height", height}});
    x += width;
  }
  if (!file.open()) return false;
  const QByteArray json = QJsonDocument(QJsonObject{{"screens", screens}}).toJson();
  const bool written = file.write(json) == json.size();
  file.close();
  return written;
}

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
  QTemporaryFile screens;
  const std::string platform = WriteScreens(screens)
                                   ? "offscreen:configfile=" + screens.fileName().toStdString()
                                   : "offscreen";
  setenv("QT_QPA_PLATFORM", platform.c_str(), 1);
  QApplication application(argc, argv);
  ps::app::ConfigureApplication();
  // A test may close the only window; that must not end anything here.
  QApplication::setQuitOnLastWindowClosed(false);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
