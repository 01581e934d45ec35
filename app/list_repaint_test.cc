// The list's repaint while a sweep appends lines, one line per probe's
// dispatch: only the new lines are painted, the scroll bars repaint only where
// their slider moved, in pieces, keeping what they painted for repaints of
// what did not change, and what all that leaves on screen is what a whole
// repaint paints, in each style Qt ships.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QLineEdit>
#include <QListWidget>
#include <QPaintEngine>
#include <QPaintEvent>
#include <QPainter>
#include <QProxyStyle>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyleFactory>
#include <QTest>
#include <memory>
#include <string>

#include "app/application.h"
#include "app/form1.h"
#include "platform/netapi/net_fakes.h"
#include "platform/netapi/net_services.h"

namespace ps::app {
namespace {

using platform::EchoScript;
using platform::Ipv4;

// Rows painted in a widget, summed over its paint events' rectangles.
class PaintedRows : public QObject {
 public:
  explicit PaintedRows(QWidget* widget) { widget->installEventFilter(this); }
  long rows = 0;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) {
      for (const QRect& rect : static_cast<QPaintEvent*>(event)->region()) rows += rect.height();
    }
    return false;
  }
};

// Rows of vertical scroll bars that the style paints, inside the painter's
// clip and the widget's region being repainted.
class RowCountingStyle : public QProxyStyle {
 public:
  using QProxyStyle::QProxyStyle;
  mutable long rows = 0;

  void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                          QPainter* painter, const QWidget* widget) const override {
    if (control == CC_ScrollBar && (option->state & State_Horizontal) == 0) {
      QRect part = option->rect;
      if (painter->hasClipping()) part &= painter->clipBoundingRect().toAlignedRect();
      const QRegion system = painter->paintEngine()->systemClip();
      if (!system.isEmpty()) {
        part &= painter->deviceTransform().inverted().mapRect(system.boundingRect());
      }
      rows += part.height();
    }
    QProxyStyle::drawComplexControl(control, option, painter, widget);
  }
};

// What the screen shows of `widget`: on the offscreen platform, its window's
// backing store, where every repaint so far has left its pixels.
QImage OnScreen(QWidget* widget) {
  QWidget* window = widget->window();
  const QPoint at = widget->mapTo(window, QPoint(0, 0));
  return window->screen()
      ->grabWindow(window->winId(), at.x(), at.y(), widget->width(), widget->height())
      .toImage()
      .convertToFormat(QImage::Format_RGB32);
}

// What a whole repaint of `widget` paints now.
QImage Repainted(QWidget* widget) {
  return widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// The window with every host of 10.1.2.0/24 answering, and the probe's
// dispatch processing Qt's events as the real one does.
class ListRepaintTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    QApplication::setStyle(QStyleFactory::create(QString::fromLatin1(GetParam())));
    ConfigureApplication();  // the application's style over it
    for (unsigned host = 0; host <= 255; ++host) {
      net_.echo.Script(Ipv4(10, 1, 2, host), EchoScript::Reply());
    }
    net_.sockets.AddName(Ipv4(10, 1, 2, 200), "a-rather-long-host-name.with.many.labels.example");
    net_.window.on_do_events = [] { QCoreApplication::processEvents(); };
    form_ = std::make_unique<Form1>();
    form_->Text1()->setText(QStringLiteral("10.1.2.255"));
    form_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
  }
  void TearDown() override {
    form_.reset();
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("fusion")));
    ConfigureApplication();
  }

  void Sweep() {
    form_->Command1()->click();
    QApplication::processEvents();
  }
  QScrollBar* Vertical() const { return form_->List1()->verticalScrollBar(); }

  platform::FakeNet net_;
  platform::ScopedServices services_{net_.services()};
  std::unique_ptr<Form1> form_;
};

// Until the longest line brings the horizontal bar (host 200 here): from then
// on the list raises both bars at each relayout, and Qt repaints them whole.
TEST_P(ListRepaintTest, AppendedLinesRepaintLittleOfTheScrollBar) {
  net_.sockets.AddName(Ipv4(10, 1, 2, 200), "");
  const PaintedRows painted(Vertical());
  Sweep();
  ASSERT_EQ(form_->List1()->count(), 256 - 1);
  ASSERT_FALSE(form_->List1()->horizontalScrollBar()->isVisible());
  EXPECT_LT(painted.rows, static_cast<long>(Vertical()->height()) * 255 / 2);
}

// With both bars showing (the longest line first here), the list raises both
// at each relayout, and Qt asks for both whole: the style still paints only
// what changed.
TEST_P(ListRepaintTest, BothBarsShowingTheStylePaintsLittleOfTheScrollBar) {
  net_.sockets.AddName(Ipv4(10, 1, 2, 1), "a-rather-long-host-name.with.many.labels.example");
  auto* style = new RowCountingStyle(QStyleFactory::create(QString::fromLatin1(GetParam())));
  form_->List1()->verticalScrollBar()->setStyle(style);  // the bar owns none: freed below
  Sweep();
  ASSERT_EQ(form_->List1()->count(), 256 - 1);
  ASSERT_TRUE(form_->List1()->horizontalScrollBar()->isVisible());
  EXPECT_LT(style->rows, static_cast<long>(Vertical()->height()) * 255 / 2);
  form_.reset();
  delete style;
}

// Lines added past the end of what the list shows repaint none of it: only
// the first screenful of lines is painted, and the whole list again only
// when the widest line so far widens every line.
TEST_P(ListRepaintTest, AppendedLinesRepaintOnlyThemselves) {
  QWidget* viewport = form_->List1()->viewport();
  const PaintedRows painted(viewport);
  Sweep();
  ASSERT_EQ(form_->List1()->count(), 256 - 1);
  EXPECT_LT(painted.rows, static_cast<long>(viewport->height()) * 8);
}

// Whatever the scroll position, what the screen shows of the list's lines and
// scroll bars after each sweep (each line repainted at its probe's dispatch,
// the bars partly and in pieces) is what a whole repaint paints.
TEST_P(ListRepaintTest, ScreenShowsWhatAWholeRepaintPaints) {
  struct Case {
    const char* name;
    double scrolled;  // of the vertical bar's maximum, before the sweep
  };
  QListWidget* list = form_->List1();
  for (const Case& c : {Case{"top", 0}, Case{"middle", 0.5}, Case{"end", 1}}) {
    SCOPED_TRACE(c.name);
    Vertical()->setValue(static_cast<int>(Vertical()->maximum() * c.scrolled));
    Sweep();
    for (QWidget* widget : {static_cast<QWidget*>(Vertical()),
                            static_cast<QWidget*>(list->horizontalScrollBar()), list->viewport()}) {
      SCOPED_TRACE(widget->objectName().isEmpty() ? "scroll bar" : widget->objectName().toStdString());
      QImage a = OnScreen(widget), b = Repainted(widget);
      if (a != b) { a.save(QString("/tmp/w3/va_%1.png").arg(c.name)); b.save(QString("/tmp/w3/vb_%1.png").arg(c.name)); }
      EXPECT_EQ(a, b);
    }
  }
  EXPECT_EQ(list->count(), 3 * 256 - 3);
}

INSTANTIATE_TEST_SUITE_P(Styles, ListRepaintTest, ::testing::Values("fusion", "windows"));

}  // namespace
}  // namespace ps::app
