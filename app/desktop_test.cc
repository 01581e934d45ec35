// The window and its boxes on a desktop: the icon, the desktop entry name, and
// the message box whose text can be copied and whose commands never wrap.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QCursor>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>
#include <QTimer>
#include <QtTest/QTest>
#include <string>
#include <utility>
#include <vector>

#include "app/form1.h"
#include "app/message_box.h"
#include "app/qt_window_system.h"

namespace ps::app {
namespace {

// The permission text as the echo service writes it, with a long path that
// holds a blank (so the command quotes it) and long quoted values.
const QString kPermissionText = QStringLiteral(
    "ICMP echo requests cannot be sent: this user may open neither an ICMP datagram socket nor "
    "a raw socket.\n\nTo allow it, either let your group open ICMP datagram sockets "
    "(\"0 2147483647\" allows every group):\n"
    "    echo 'net.ipv4.ping_group_range = 2147483000 2147483000' | sudo tee "
    "/etc/sysctl.d/60-pingsweep.conf\n"
    "    sudo sysctl -p /etc/sysctl.d/60-pingsweep.conf\n"
    "or grant the program CAP_NET_RAW:\n"
    "    sudo setcap cap_net_raw+ep '/home/somebody/projects/network tools/pingsweep/build/"
    "default/app/pingsweep'");

const QStringList kCommands = {
    QStringLiteral("echo 'net.ipv4.ping_group_range = 2147483000 2147483000' | sudo tee "
                   "/etc/sysctl.d/60-pingsweep.conf"),
    QStringLiteral("sudo sysctl -p /etc/sysctl.d/60-pingsweep.conf"),
    QStringLiteral("sudo setcap cap_net_raw+ep '/home/somebody/projects/network tools/pingsweep/"
                   "build/default/app/pingsweep'"),
};

QString Normalised(QString text) {
  text.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
  return text.replace(QChar::LineSeparator, QLatin1Char('\n'));
}

class MessageBoxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    box_.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&box_));
    label_ = box_.TextLabel();
    ASSERT_NE(label_, nullptr);
  }

  CopyableMessageBox box_{QMessageBox::Information, kPermissionText};
  QLabel* label_ = nullptr;
};

TEST_F(MessageBoxTest, TextSelectsAndCopiesAsPlainText) {
  EXPECT_TRUE(label_->textInteractionFlags() & Qt::TextSelectableByMouse);
  EXPECT_TRUE(label_->textInteractionFlags() & Qt::TextSelectableByKeyboard);

  // Nothing selected: Ctrl+C takes the whole text as given, without markup.
  QGuiApplication::clipboard()->clear();
  QTest::keyClick(&box_, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QGuiApplication::clipboard()->text(), kPermissionText);

  // Everything selected: each command arrives whole, on a line of its own.
  QTextDocument shown;
  shown.setHtml(label_->text());
  label_->setSelection(0, shown.characterCount() - 1);
  ASSERT_TRUE(label_->hasSelectedText());
  QTest::keyClick(&box_, Qt::Key_C, Qt::ControlModifier);
  // Commands the box shows on continuation lines copy as such.
  const QStringList lines = Normalised(QGuiApplication::clipboard()->text())
                                .replace(QStringLiteral("\\\n"), QString())
                                .split('\n');
  for (const QString& command : kCommands) {
    EXPECT_TRUE(lines.contains(command)) << command.toStdString();
  }
  EXPECT_FALSE(QGuiApplication::clipboard()->text().contains('<')) << "markup copied";

  // Part of a command selected: that part.
  const int start = Normalised(label_->selectedText()).indexOf(QStringLiteral("sudo sysctl"));
  label_->setSelection(start, 11);
  QTest::keyClick(&box_, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("sudo sysctl"));
}

// The blocks of `html` laid out `width` pixels wide, in `font`.
struct Laid {
  QString text;
  int lines;
  qreal right;  // pixels: where its widest line ends
};
std::vector<Laid> Layout(const QString& html, const QFont& font, int width) {
  QTextDocument document;
  document.setDefaultFont(font);
  document.setHtml(html);
  document.setTextWidth(width);
  (void)document.size();  // lays the document out
  std::vector<Laid> blocks;
  for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
    qreal right = 0;
    for (int i = 0; i < block.layout()->lineCount(); ++i) {
      right = std::max(
          right, block.layout()->position().x() + block.layout()->lineAt(i).naturalTextWidth());
    }
    blocks.push_back({block.text(), block.layout()->lineCount(), right});
  }
  return blocks;
}

// The commands of laid-out blocks, continuation lines joined back.
QStringList Commands(const std::vector<Laid>& blocks) {
  QStringList commands;
  QString pending;
  for (const Laid& b : blocks) {
    const bool goes_on = b.text.endsWith(QLatin1String(" \\"));
    if (pending.isEmpty() && !goes_on && !kCommands.contains(b.text)) continue;
    pending += goes_on ? b.text.chopped(1) : b.text;
    if (!goes_on) commands += std::exchange(pending, QString());
  }
  return commands;
}

TEST_F(MessageBoxTest, EveryCommandShowsWholeInTheBox) {
  const auto blocks = Layout(label_->text(), label_->font(), label_->contentsRect().width());
  EXPECT_EQ(Commands(blocks), kCommands);
  for (const Laid& b : blocks) {
    if (!kCommands.contains(b.text) && !b.text.endsWith(QLatin1Char('\\'))) continue;
    SCOPED_TRACE(b.text.toStdString());
    EXPECT_EQ(b.lines, 1) << "command wrapped";
    EXPECT_LE(b.right, label_->contentsRect().width()) << "command cut off by the box";
  }
}

// The test main sets up screens from 800 to 1,920 logical pixels wide; on each
// the box keeps every command whole inside itself and itself on the screen.
TEST(MessageBoxScreenTest, EveryCommandShowsWholeOnScreensOfEveryWidth) {
  const QList<QScreen*> screens = QGuiApplication::screens();
  ASSERT_GE(screens.size(), 6) << "the offscreen platform ignored the test main's screens";
  for (QScreen* screen : screens) {
    const QRect available = screen->availableGeometry();
    SCOPED_TRACE(available.width());
    CopyableMessageBox box(QMessageBox::Information, kPermissionText);
    // QMessageBox takes its limits from the screen under the pointer.
    QCursor::setPos(screen, available.center());
    box.setScreen(screen);
    box.move(available.topLeft());
    box.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
    // QMessageBox sizes itself anew on every layout request (a font or style
    // change from the desktop, a label that changed).
    QCoreApplication::postEvent(&box, new QEvent(QEvent::LayoutRequest));
    QCoreApplication::processEvents();
    ASSERT_EQ(box.screen(), screen);
    const QLabel* label = box.TextLabel();
    const int shown = label->contentsRect().width();
    const auto blocks = Layout(label->text(), label->font(), shown);
    EXPECT_EQ(Commands(blocks), kCommands);
    for (const Laid& b : blocks) {
      if (!kCommands.contains(b.text) && !b.text.endsWith(QLatin1Char('\\'))) continue;
      SCOPED_TRACE(b.text.toStdString());
      EXPECT_EQ(b.lines, 1) << "command wrapped";
      EXPECT_LE(b.right, shown) << "command cut off by the box";
    }
    EXPECT_LE(box.frameGeometry().width(), available.width()) << "box wider than the screen";
  }
}

TEST(MessageHtmlTest, LongCommandsGoOnBetweenArgumentsOnly) {
  const QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  const QFontMetrics metrics(font);
  for (const int width : {2000, 600, 400, 250, 50}) {
    SCOPED_TRACE(width);
    const auto blocks =
        Layout(MessageHtml(kPermissionText, font, width), font, width + kCommandIndentPixels);
    // Joined back, the commands are exactly those of the text.
    EXPECT_EQ(Commands(blocks), kCommands);
    for (const Laid& b : blocks) {
      const bool goes_on = b.text.endsWith(QLatin1String(" \\"));
      if (!goes_on && !kCommands.contains(b.text)) continue;
      SCOPED_TRACE(b.text.toStdString());
      EXPECT_EQ(b.lines, 1);
      // Cut after a blank outside quotes: every quote opened is closed.
      if (goes_on) {
        EXPECT_EQ(b.text.count(QLatin1Char('\'')) % 2, 0);
        EXPECT_EQ(b.text.count(QLatin1Char('"')) % 2, 0);
      }
      // Within the width, unless one argument alone is wider.
      const bool one_argument = !b.text.chopped(goes_on ? 2 : 0).trimmed().contains(' ') ||
                                b.text.startsWith(QLatin1Char('\''));
      if (!one_argument) {
        EXPECT_LE(metrics.horizontalAdvance(b.text), width);
      }
    }
    if (width == 2000) {
      EXPECT_EQ(blocks.size(), 6u) << "wide enough: one line per command";
    }
  }
}

TEST(MessageHtmlTest, ProseParagraphsAndMarkupInTheText) {
  const QString html =
      MessageHtml(QStringLiteral("a <b> & c\nsecond line\n\n    run 'x < y'\ndone"), QFont(), 1000);
  EXPECT_TRUE(html.contains(QStringLiteral("<p>a &lt;b&gt; &amp; c<br>second line</p>")));
  EXPECT_TRUE(html.contains(QStringLiteral("white-space:pre")));
  EXPECT_TRUE(html.contains(QStringLiteral("run 'x &lt; y'</p>"))) << html.toStdString();
  EXPECT_TRUE(html.endsWith(QStringLiteral("<p>done</p>")));
}

TEST(WindowSystemTest, BoxGoesToStandardErrorTooAndCarriesTheIcon) {
  QtWindowSystem window_system;
  bool shown = false;
  bool icon = false;
  // The box is modal: look at it and dismiss it from inside its event loop.
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<CopyableMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    shown = box->PlainText() == kPermissionText;
    icon = !box->windowIcon().isNull();
    box->accept();
  });
  ::testing::internal::CaptureStderr();
  window_system.MessageBox(kPermissionText.toStdU16String(), 0x40);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(shown);
  EXPECT_TRUE(icon);
  EXPECT_NE(err.find(kPermissionText.toStdString() + "\n"), std::string::npos) << err;
}

TEST(DesktopTest, WindowCarriesTheIconAndNamesItsDesktopEntry) {
  EXPECT_EQ(QGuiApplication::desktopFileName(), QStringLiteral("pingsweep"));
  Form1 form;
  const QIcon icon = form.windowIcon();
  ASSERT_FALSE(icon.isNull());
  // The built-in SVG draws (the SVG plugins are there).
  const QImage image = icon.pixmap(64, 64).toImage();
  ASSERT_FALSE(image.isNull());
  EXPECT_GT(qAlpha(image.pixel(32, 32)), 0) << "the icon drew nothing";
}

}  // namespace
}  // namespace ps::app
