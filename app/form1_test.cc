// The window driven through its real widgets, over the fake network services
// (nothing here touches the network).
#include "app/form1.h"
#include "app/message_box.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <climits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/qt_window_system.h"
#include "app/untrapped_error.h"
#include "core/error.h"
#include "platform/netapi/net_fakes.h"
#include "platform/netapi/net_services.h"

namespace ps::app {
namespace {

using platform::EchoScript;
using platform::FakeNet;
using platform::IPAddr;
using platform::Ipv4;

std::vector<std::u16string> Lines(const QListWidget* list) {
  std::vector<std::u16string> lines;
  for (int i = 0; i < list->count(); ++i) lines.push_back(list->item(i)->text().toStdU16String());
  return lines;
}

std::vector<IPAddr> Destinations(const platform::FakeEchoService& echo) {
  std::vector<IPAddr> out;
  for (const auto& send : echo.sends) out.push_back(send.destination);
  return out;
}

// 10.1.2.first .. 10.1.2.last
std::vector<IPAddr> Range(unsigned first, unsigned last, unsigned c = 2) {
  std::vector<IPAddr> out;
  for (unsigned d = first; d <= last; ++d) out.push_back(Ipv4(10, 1, c, d));
  return out;
}

std::vector<IPAddr> Concat(std::vector<IPAddr> a, const std::vector<IPAddr>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class Form1Test : public ::testing::Test {
 protected:
  void SetUp() override {
    form_ = std::make_unique<Form1>();
    form_->Text1()->setText(QStringLiteral("10.1.2.255"));
  }

  void Press() { QTest::mouseClick(form_->Command1(), Qt::LeftButton); }
  // What the title bar shows, once the window has one.
  std::u16string Title() const {
    const QWindow* window = form_->windowHandle();
    return (window != nullptr ? window->title() : form_->windowTitle()).toStdU16String();
  }

  FakeNet net_;
  platform::ScopedServices services_{net_.services()};
  std::vector<std::u16string> reports_;
  std::vector<int> exit_codes_;
  ScopedUntrappedErrorHooks hooks_{
      {[this](std::u16string_view text) { reports_.emplace_back(text); },
       [this](int code) { exit_codes_.push_back(code); }}};
  std::unique_ptr<Form1> form_;
};

TEST_F(Form1Test, InitialStateIsTheDesign) {
  Form1 form;
  EXPECT_EQ(form.windowTitle(), QStringLiteral("Form1"));
  EXPECT_EQ(form.size(), QSize(437, 533));
  EXPECT_EQ(form.minimumSize(), QSize(437, 533));
  EXPECT_EQ(form.maximumSize(), QSize(437, 533));

  EXPECT_EQ(form.Text1()->geometry(), QRect(16, 24, 145, 19));
  EXPECT_EQ(form.Text1()->text(), QStringLiteral("192.168.1.255"));
  EXPECT_EQ(form.Text1()->maxLength(), INT_MAX);

  EXPECT_EQ(form.Command1()->geometry(), QRect(184, 24, 65, 25));
  EXPECT_EQ(form.Command1()->text(), QStringLiteral("PINGs"));
  EXPECT_FALSE(form.Command1()->isDefault());
  EXPECT_FALSE(form.Command1()->autoDefault());

  EXPECT_EQ(form.List1()->geometry(), QRect(16, 64, 225, 420));
  EXPECT_EQ(form.List1()->count(), 0);
  EXPECT_FALSE(form.List1()->isSortingEnabled());

  // Every control sits directly on the window, with no layout to move it.
  EXPECT_EQ(form.layout(), nullptr);
}

TEST_F(Form1Test, ControlsKeepTheirPlaceWhenTheWindowIsResized) {
  form_->show();
  form_->resize(800, 900);
  QApplication::processEvents();
  EXPECT_EQ(form_->size(), QSize(437, 533));
  EXPECT_EQ(form_->Text1()->geometry(), QRect(16, 24, 145, 19));
  EXPECT_EQ(form_->Command1()->geometry(), QRect(184, 24, 65, 25));
  EXPECT_EQ(form_->List1()->geometry(), QRect(16, 64, 225, 420));
}

TEST_F(Form1Test, FocusStartsInTheListAndTabsThroughTextAndButton) {
  form_->show();
  form_->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(form_.get()));
  EXPECT_EQ(QApplication::focusWidget(), form_->List1());
  const std::vector<QWidget*> order = {form_->Text1(), form_->Command1(), form_->List1()};
  for (QWidget* expected : order) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), expected) << expected->objectName().toStdString();
  }
}

TEST_F(Form1Test, EnterInTheAddressBoxDoesNotSweep) {
  QSignalSpy clicked(form_->Command1(), &QPushButton::clicked);
  form_->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
  form_->Text1()->setFocus();
  QTest::keyClick(form_->Text1(), Qt::Key_Return);
  QTest::keyClick(form_->Text1(), Qt::Key_Enter);
  EXPECT_EQ(clicked.count(), 0);
  EXPECT_TRUE(net_.echo.sends.empty());
  EXPECT_EQ(Title(), u"Form1");
}

TEST_F(Form1Test, SpaceOnTheButtonSweeps) {
  form_->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
  form_->Command1()->setFocus();
  QTest::keyClick(form_->Command1(), Qt::Key_Space);
  EXPECT_EQ(Destinations(net_.echo), Range(0, 254));
}

TEST_F(Form1Test, SweepListsAnsweringHostsInOrderWithTheirNames) {
  net_.echo.Script(Ipv4(10, 1, 2, 0), EchoScript::Reply());
  net_.echo.Script(Ipv4(10, 1, 2, 7), EchoScript::Reply());
  net_.echo.Script(Ipv4(10, 1, 2, 254), EchoScript::Reply());
  net_.echo.Script(Ipv4(10, 1, 2, 255), EchoScript::Reply());
  net_.sockets.AddName(Ipv4(10, 1, 2, 0), "zero.example");
  net_.sockets.AddName(Ipv4(10, 1, 2, 254), "  last  ");
  net_.sockets.AddName(Ipv4(10, 1, 2, 9), "silent-but-named");

  Press();
  EXPECT_EQ(Destinations(net_.echo), Range(0, 254));
  EXPECT_EQ(Lines(form_->List1()),
            (std::vector<std::u16string>{u"10.1.2.0 : zero.example", u"10.1.2.7 : ",
                                         u"10.1.2.254 : last"}));
  // One lookup per answering host, none for the others.
  EXPECT_EQ(net_.sockets.looked_up,
            (std::vector<IPAddr>{Ipv4(10, 1, 2, 0), Ipv4(10, 1, 2, 7), Ipv4(10, 1, 2, 254)}));
  EXPECT_EQ(Title(), u"10.1.2.254");
  EXPECT_EQ(form_->Text1()->text(), QStringLiteral("10.1.2.255"));
  EXPECT_TRUE(form_->Command1()->isEnabled());

  // A second press appends: a host answering twice is listed twice.
  Press();
  EXPECT_EQ(Lines(form_->List1()),
            (std::vector<std::u16string>{u"10.1.2.0 : zero.example", u"10.1.2.7 : ",
                                         u"10.1.2.254 : last", u"10.1.2.0 : zero.example",
                                         u"10.1.2.7 : ", u"10.1.2.254 : last"}));
  EXPECT_TRUE(reports_.empty());
}

// The horizontal scroll bar reaches the longest line, wherever it stands.
TEST_F(Form1Test, ListScrollsToTheEndOfItsLongestLine) {
  form_->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
  net_.echo.Script(Ipv4(10, 1, 2, 1), EchoScript::Reply());
  net_.echo.Script(Ipv4(10, 1, 2, 2), EchoScript::Reply());
  net_.sockets.AddName(Ipv4(10, 1, 2, 1), "a-rather-long-host-name.with.many.labels.example");
  Press();
  QApplication::processEvents();  // the list lays out its lines
  const QListWidget* list = form_->List1();
  ASSERT_EQ(list->count(), 2);
  const int longest = list->fontMetrics().horizontalAdvance(list->item(0)->text());
  EXPECT_GE(list->viewport()->width() + list->horizontalScrollBar()->maximum(), longest);
}

// The title at each probe's dispatch is the address being probed.
TEST_F(Form1Test, AddressesFormedFromTheText) {
  struct Case {
    QString text;
    std::u16string prefix;  // the address for host n is prefix + "." + n
  };
  // The removal rule itself is the text helpers' business; these are the
  // shapes a user types.
  const Case cases[] = {
      {"192.168.1.255", u"192.168.1"},
      {"192.168.1", u"192.168.1"},
      {"10.255.0.255", u"10.0"},
      {"10.0.0.0", u"10.0.0.0"},
      {"", u""},
      {" 10.1.2.255 ", u" 10.1.2 "},
      {"1[*]2[*][*].255", u"1[*]2[*][*]"},  // Qt's modified-mark placeholder, shown as typed
  };
  form_->show();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.toStdString());
    std::vector<std::u16string> titles;
    net_.window.on_do_events = [&] { titles.push_back(Title()); };
    form_->Text1()->setText(c.text);
    Press();
    ASSERT_EQ(titles.size(), 255u);
    for (int n = 0; n <= 254; ++n) {
      std::u16string expected = c.prefix + u".";
      for (char ch : std::to_string(n)) expected += static_cast<char16_t>(ch);
      ASSERT_EQ(titles[n], expected) << n;
    }
    EXPECT_EQ(Title(), titles.back());
  }
  EXPECT_EQ(form_->List1()->count(), 0);
}

TEST_F(Form1Test, EditDuringTheSweepAppliesFromTheNextHost) {
  net_.echo.Script(Ipv4(10, 1, 2, 5), EchoScript::Reply());
  net_.echo.Script(Ipv4(10, 1, 2, 20), EchoScript::Reply());
  net_.echo.Script(Ipv4(10, 1, 3, 20), EchoScript::Reply());
  // During the dispatch of host 9's probe the user retypes the subnet.
  net_.window.on_do_events = [&] {
    if (net_.window.do_events_calls != 10) return;
    QTest::keyClick(form_->Text1(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(form_->Text1(), QStringLiteral("10.1.3.255"));
  };
  Press();
  EXPECT_EQ(Destinations(net_.echo), Concat(Range(0, 9), Range(10, 254, 3)));
  EXPECT_EQ(Lines(form_->List1()), (std::vector<std::u16string>{u"10.1.2.5 : ", u"10.1.3.20 : "}));
  EXPECT_EQ(Title(), u"10.1.3.254");
}

// Forwards to the Qt dispatch; before one chosen dispatch it queues a mouse
// press and release on the button, as a user clicking during a probe would.
class ClickingWindowSystem : public QtWindowSystem {
 public:
  ClickingWindowSystem(QWidget* button, int click_at) : button_(button), click_at_(click_at) {}
  void DoEvents() override {
    if (++calls_ == click_at_) {
      const QPointF center = QRectF(button_->rect()).center();
      QCoreApplication::postEvent(
          button_, new QMouseEvent(QEvent::MouseButtonPress, center, button_->mapToGlobal(center),
                                   Qt::LeftButton, Qt::LeftButton, {}));
      QCoreApplication::postEvent(
          button_, new QMouseEvent(QEvent::MouseButtonRelease, center, button_->mapToGlobal(center),
                                   Qt::LeftButton, Qt::NoButton, {}));
    }
    QtWindowSystem::DoEvents();
  }

 private:
  QWidget* button_;
  int click_at_;
  int calls_ = 0;
};

TEST_F(Form1Test, PressDuringTheDispatchRunsANestedSweep) {
  form_->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
  net_.echo.Script(Ipv4(10, 1, 2, 1), EchoScript::Reply());
  net_.echo.Script(Ipv4(10, 1, 2, 6), EchoScript::Reply());
  net_.sockets.AddName(Ipv4(10, 1, 2, 6), "six");
  ClickingWindowSystem window(form_->Command1(), /*click_at=*/4);  // host 3 of the first sweep
  platform::ScopedServices with_qt_dispatch({nullptr, nullptr, nullptr, &window});

  Press();
  // Hosts 0-2, then the whole nested sweep, then the first sweep from host 3 on.
  EXPECT_EQ(Destinations(net_.echo), Concat(Concat(Range(0, 2), Range(0, 254)), Range(3, 254)));
  EXPECT_EQ(Lines(form_->List1()),
            (std::vector<std::u16string>{u"10.1.2.1 : ", u"10.1.2.1 : ", u"10.1.2.6 : six",
                                         u"10.1.2.6 : six"}));
  EXPECT_EQ(Title(), u"10.1.2.254");
}

TEST_F(Form1Test, ClosingTheWindowStopsTheSweep) {
  for (int i = 0; i <= 254; ++i) net_.echo.Script(Ipv4(10, 1, 2, i), EchoScript::Reply());
  form_->show();
  net_.window.on_do_events = [&] {
    if (net_.window.do_events_calls == 6) form_->close();
  };
  Press();
  // Host 5's request was already under way; nothing after it, and its answer
  // is not listed in a closed window.
  EXPECT_EQ(Destinations(net_.echo), Range(0, 5));
  EXPECT_EQ(form_->List1()->count(), 5);
  EXPECT_EQ(Title(), u"10.1.2.5");
  EXPECT_TRUE(reports_.empty());

  // Shown again, it sweeps as before.
  form_->show();
  net_.window.on_do_events = nullptr;
  Press();
  EXPECT_EQ(net_.echo.sends.size(), 6u + 255u);
}

TEST_F(Form1Test, ClosingDuringANestedSweepStopsBoth) {
  form_->show();
  int presses = 0;
  net_.window.on_do_events = [&] {
    const int call = net_.window.do_events_calls;
    if (call == 3 && presses++ == 0) form_->Command1()->click();  // nested sweep at host 2
    if (call == 10) form_->close();                               // host 6 of the nested sweep
  };
  Press();
  // The nested sweep stops after host 6; the first sweep's host 2 request was
  // already on its way when the nested sweep ran in its dispatch, and nothing
  // follows it.
  EXPECT_EQ(Destinations(net_.echo), Concat(Concat(Range(0, 1), Range(0, 6)), Range(2, 2)));
}

TEST_F(Form1Test, WindowDestroyedDuringTheSweep) {
  Form1* form = form_.release();
  form->Text1()->setText(QStringLiteral("10.1.2.255"));
  net_.echo.Script(Ipv4(10, 1, 2, 3), EchoScript::Reply());
  int presses = 0;
  net_.window.on_do_events = [&] {
    const int call = net_.window.do_events_calls;
    if (call == 2 && presses++ == 0) form->Command1()->click();  // nested at host 1
    if (call == 8) delete form;                                  // host 5 of the nested sweep
  };
  form->Command1()->click();
  // Neither sweep touches the destroyed widgets (the sanitizer build checks) or
  // probes again.
  EXPECT_EQ(Destinations(net_.echo), Concat(Concat(Range(0, 0), Range(0, 5)), Range(1, 1)));
  EXPECT_TRUE(reports_.empty());
}

TEST_F(Form1Test, MissingEchoPermissionShowsOneBoxPerSweep) {
  const std::u16string reason =
      u"ICMP echo needs permission: allow it with sysctl net.ipv4.ping_group_range";
  net_.echo.SetUnavailable(reason);
  Press();
  ASSERT_EQ(net_.window.boxes.size(), 1u);
  EXPECT_NE(net_.window.boxes[0].text.find(reason), std::u16string::npos);
  EXPECT_EQ(net_.window.boxes[0].type, platform::MB_ICONINFORMATION);
  EXPECT_TRUE(net_.echo.sends.empty());
  EXPECT_EQ(Title(), u"10.1.2.0");  // the sweep ended at its first host

  Press();
  EXPECT_EQ(net_.window.boxes.size(), 2u);

  // Once the service is back, the next press sweeps normally.
  net_.echo.SetAvailable();
  Press();
  EXPECT_EQ(net_.window.boxes.size(), 2u);
  EXPECT_EQ(net_.echo.sends.size(), 255u);
}

TEST_F(Form1Test, UntrappedErrorsAreReportedAndEndTheApplication) {
  struct Case {
    const char* name;
    std::function<void()> raise;
    std::u16string report;
  };
  const Case cases[] = {
      {"raised error", [] { throw OverflowError(); }, u"Run-time error '6':\n\nOverflow"},
      {"own number",
       [] { throw Error(5, u"RegistryKey.Open", u"Invalid procedure call or argument"); },
       u"Run-time error '5':\n\nInvalid procedure call or argument"},
      {"out of memory", [] { throw std::bad_alloc(); }, u"Run-time error '7':\n\nOut of memory"},
      {"other exception", [] { throw std::runtime_error("boom"); },
       u"Run-time error '51':\n\nInternal error: boom"},
      {"anything", [] { throw 42; }, u"Run-time error '51':\n\nInternal error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedUntrappedErrorHooks fresh({});  // clears the ending state of the last case
    reports_.clear();
    exit_codes_.clear();
    net_.echo.sends.clear();
    net_.window.do_events_calls = 0;
    net_.window.on_do_events = [&] {
      if (net_.window.do_events_calls == 8) c.raise();
    };
    Press();
    EXPECT_EQ(reports_, std::vector<std::u16string>{c.report});
    EXPECT_EQ(exit_codes_, std::vector<int>{kUntrappedErrorExitCode});
    EXPECT_EQ(Destinations(net_.echo), Range(0, 6));
    // The application is ending: a further press probes nothing.
    Press();
    EXPECT_EQ(net_.echo.sends.size(), 7u);
  }
}

TEST_F(Form1Test, UntrappedErrorInANestedSweepEndsBoth) {
  int presses = 0;
  net_.window.on_do_events = [&] {
    const int call = net_.window.do_events_calls;
    if (call == 5 && presses++ == 0) Press();  // nested at host 4
    if (call == 9) throw OverflowError();      // host 3 of the nested sweep
  };
  Press();
  EXPECT_EQ(reports_.size(), 1u);
  EXPECT_EQ(exit_codes_.size(), 1u);
  // The first sweep's host 4 request was under way; nothing after it.
  EXPECT_EQ(Destinations(net_.echo), Concat(Concat(Range(0, 3), Range(0, 2)), Range(4, 4)));
}

TEST_F(Form1Test, MillionCharacterTextSweepsWithoutError) {
  form_->Text1()->setText(QString(1000000, QLatin1Char('7')) + QStringLiteral(".255"));
  Press();
  EXPECT_TRUE(reports_.empty());
  EXPECT_TRUE(net_.echo.sends.empty());  // no address, nothing sent
  EXPECT_EQ(form_->List1()->count(), 0);
  EXPECT_EQ(form_->windowTitle().size(), 1000000 + 4);
}

// The Qt side of the seam.

// Leaves every running event loop (a box's, or the application's) once a test
// has waited far too long, so that a failure ends in failed assertions rather
// than a hung run.
class Watchdog {
 public:
  Watchdog() {
    timer_.setSingleShot(true);
    QObject::connect(&timer_, &QTimer::timeout, [] {
      ADD_FAILURE() << "watchdog: still waiting after 30 s";
      QCoreApplication::exit(-1);
    });
    timer_.start(30000);
  }

 private:
  QTimer timer_;
};

TEST(QtWindowSystemTest, MessageBoxIsModalInformationWithOneOkAndTheApplicationTitle) {
  Watchdog watchdog;
  QtWindowSystem window;
  QString title, text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  int buttons = 0;
  bool modal = false;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    title = box->windowTitle();
    // The box shows the text as markup; it keeps the text as given.
    auto* copyable = qobject_cast<CopyableMessageBox*>(box);
    ASSERT_NE(copyable, nullptr);
    text = copyable->PlainText();
    icon = box->icon();
    buttons = static_cast<int>(box->buttons().size());
    modal = box->isModal();
    QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
  });
  window.MessageBox(u"Socket init : Winsock.dll ne répond pas", platform::MB_ICONINFORMATION);
  EXPECT_EQ(title, QStringLiteral("PingSweep"));
  EXPECT_EQ(text, QStringLiteral("Socket init : Winsock.dll ne répond pas"));
  EXPECT_EQ(icon, QMessageBox::Information);
  EXPECT_EQ(buttons, 1);
  EXPECT_TRUE(modal);
}

// Counts deliveries and queues itself again on each one.
class Reposter : public QObject {
 public:
  bool event(QEvent* e) override {
    if (e->type() != QEvent::User) return QObject::event(e);
    ++delivered;
    QCoreApplication::postEvent(this, new QEvent(QEvent::User));
    return true;
  }
  int delivered = 0;
};

TEST(QtWindowSystemTest, DoEventsIsOnePassOverWhatIsPending) {
  QtWindowSystem window;
  Reposter reposter;
  QCoreApplication::postEvent(&reposter, new QEvent(QEvent::User));
  window.DoEvents();
  EXPECT_EQ(reposter.delivered, 1);  // what it posted meanwhile waits for the next pass
  window.DoEvents();
  EXPECT_EQ(reposter.delivered, 2);
  QCoreApplication::removePostedEvents(&reposter);
}

TEST(UntrappedErrorTest, DefaultEndingLeavesTheEventLoopWithTheErrorCode) {
  Watchdog watchdog;
  std::vector<std::u16string> shown;
  ScopedUntrappedErrorHooks hooks(
      {[&](std::u16string_view text) { shown.emplace_back(text); }, {}});
  QTimer::singleShot(0, [] { ReportUntrappedError(6, u"Overflow"); });
  EXPECT_EQ(QApplication::exec(), kUntrappedErrorExitCode);
  EXPECT_EQ(shown.size(), 1u);
  EXPECT_TRUE(ApplicationEnding());
}

TEST(UntrappedErrorTest, DefaultReportIsACriticalBoxWithNumberAndDescription) {
  Watchdog watchdog;
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    // The box shows the text as markup; it keeps the text as given.
    auto* copyable = qobject_cast<CopyableMessageBox*>(box);
    ASSERT_NE(copyable, nullptr);
    text = copyable->PlainText();
    icon = box->icon();
    box->accept();
  });
  int ended = -1;
  ScopedUntrappedErrorHooks hooks({{}, [&](int code) { ended = code; }});
  ReportUntrappedError(6, u"Overflow");
  EXPECT_EQ(text, QStringLiteral("Run-time error '6':\n\nOverflow"));
  EXPECT_EQ(icon, QMessageBox::Critical);
  EXPECT_EQ(ended, kUntrappedErrorExitCode);
}

}  // namespace
}  // namespace ps::app
