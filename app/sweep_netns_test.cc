// Whole sweeps through the window with the real probe and the real resolver,
// inside the test's own network namespace: loopback only, a private
// /etc/hosts, and nftables silencing some hosts and counting what is sent.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <set>
#include <string>
#include <vector>

#include "app/form1.h"
#include "app/qt_window_system.h"
#include "platform/netapi/net_services.h"
#include "testsupport/private_network.h"

namespace ps::app {
namespace {

using ps::testing::DropEchoRequestsTo;
using ps::testing::EchoRequestsSent;
using ps::testing::PacketsLeavingLoopback;

constexpr char kHosts[] =
    "127.0.0.1 localhost\n"
    "127.0.0.2 alpha.test alpha\n"
    "127.0.0.9 bravo.test\n"
    "127.0.0.77 charlie.test\n"
    "127.0.0.78 caf\xC3\xA9.test\n"  // UTF-8, as the resolver hands it on
    "127.0.0.200 silent-but-named.test\n"
    "127.0.0.254 last.test\n";

// Hosts that never answer: the firewall drops their echo requests on arrival,
// so the probe waits out its time-out. Every other 127.0.0.x answers.
const std::set<int> kSilent = {0, 3, 4, 100, 200, 253};

std::u16string Name(int n) {
  switch (n) {
    case 1:
      return u"localhost";
    case 2:
      return u"alpha.test";
    case 9:
      return u"bravo.test";
    case 77:
      return u"charlie.test";
    case 78:
      return u"caf\u00E9.test";
    case 254:
      return u"last.test";
    default:
      return u"";
  }
}

std::u16string Address(int n) {
  std::u16string out = u"127.0.0.";
  for (char c : std::to_string(n)) out += static_cast<char16_t>(c);
  return out;
}

std::vector<std::u16string> ExpectedLines() {
  std::vector<std::u16string> lines;
  for (int n = 0; n <= 254; ++n) {
    if (!kSilent.count(n)) lines.push_back(Address(n) + u" : " + Name(n));
  }
  return lines;
}

std::vector<std::u16string> Lines(const QListWidget* list) {
  std::vector<std::u16string> lines;
  for (int i = 0; i < list->count(); ++i) lines.push_back(list->item(i)->text().toStdU16String());
  return lines;
}

// The real Qt dispatch, noting the window's title at each probe.
class TitleRecorder : public QtWindowSystem {
 public:
  explicit TitleRecorder(const QWidget* window) : window_(window) {}
  void DoEvents() override {
    titles.push_back(window_->windowTitle().toStdU16String());
    QtWindowSystem::DoEvents();
  }
  std::vector<std::u16string> titles;

 private:
  const QWidget* window_;
};

class SweepNetnsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PS_REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(ps::testing::BindHostsFile(kHosts));
    ps::testing::ResetFirewall();
    for (int n : kSilent) DropEchoRequestsTo("127.0.0." + std::to_string(n));
    form_.show();
  }
  void TearDown() override {
    if (!ps::testing::PrivateNetworkSkipReason().empty()) return;
    ps::testing::ResetFirewall();
    ps::testing::UnbindHostsFile();
  }

  // Types `text` into the address box and presses the button.
  void Sweep(const QString& text) {
    form_.Text1()->selectAll();
    QTest::keyClick(form_.Text1(), Qt::Key_Backspace);
    QTest::keyClicks(form_.Text1(), text);
    ASSERT_EQ(form_.Text1()->text(), text);
    QTest::mouseClick(form_.Command1(), Qt::LeftButton);
  }

  Form1 form_;
  TitleRecorder window_{&form_};
  platform::ScopedServices services_{{nullptr, nullptr, nullptr, &window_}};
};

TEST_F(SweepNetnsTest, LoopbackSubnetListsExactlyTheAnsweringHosts) {
  for (const QString& text : {QStringLiteral("127.0.0.255"), QStringLiteral("127.0.0")}) {
    SCOPED_TRACE(text.toStdString());
    form_.List1()->clear();
    window_.titles.clear();
    const std::uint64_t sent_before = EchoRequestsSent();

    Sweep(text);
    std::vector<std::u16string> probed;
    for (int n = 0; n <= 254; ++n) probed.push_back(Address(n));
    EXPECT_EQ(window_.titles, probed);  // 127.0.0.0 first, 127.0.0.254 last, one each
    EXPECT_EQ(Lines(form_.List1()), ExpectedLines());
    EXPECT_EQ(form_.windowTitle(), QStringLiteral("127.0.0.254"));
    EXPECT_EQ(EchoRequestsSent() - sent_before, 255u);
  }
  EXPECT_EQ(PacketsLeavingLoopback(), 0u);
}

TEST_F(SweepNetnsTest, SecondPressAppendsBelow) {
  Sweep(QStringLiteral("127.0.0.255"));
  QTest::mouseClick(form_.Command1(), Qt::LeftButton);
  std::vector<std::u16string> twice = ExpectedLines();
  const std::vector<std::u16string> once = ExpectedLines();
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_EQ(Lines(form_.List1()), twice);
  EXPECT_EQ(form_.windowTitle(), QStringLiteral("127.0.0.254"));
}

// Nothing of these may reach any wire: the default subnet has no route in
// here, and the others are not addresses at all (the loopback ones would
// answer if they were).
TEST_F(SweepNetnsTest, OtherSubnetsListNothingAndSendNothingOut) {
  struct Case {
    QString text;
    std::u16string last_title;
    bool sends_expected;  // requests handed to the kernel (which has no route)
  };
  const Case cases[] = {
      {QStringLiteral("192.168.1.255"), u"192.168.1.254", true},
      {QStringLiteral("10.0.0.0"), u"10.0.0.0.254", false},
      {QStringLiteral(""), u".254", false},
      // What follows a blank would be ignored by the address parser.
      {QStringLiteral("127.0.0.1 "), u"127.0.0.1 .254", false},
      {QStringLiteral("127.0.0.255 "), u"127.0.0 .254", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.toStdString());
    ps::testing::ResetFirewall();
    window_.titles.clear();
    Sweep(c.text);
    EXPECT_EQ(form_.List1()->count(), 0);
    EXPECT_EQ(window_.titles.size(), 255u);
    EXPECT_EQ(form_.windowTitle().toStdU16String(), c.last_title);
    EXPECT_EQ(PacketsLeavingLoopback(), 0u);
    if (!c.sends_expected) {
      EXPECT_EQ(EchoRequestsSent(), 0u);
    }
  }
}

}  // namespace
}  // namespace ps::app
