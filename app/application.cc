#include "app/application.h"

#include <QApplication>
#include <QColor>
#include <QGuiApplication>
#include <QIcon>
#include <QPaintEngine>
#include <QPainter>
#include <QProxyStyle>
#include <QRegion>
#include <QStyle>
#include <QStyleFactory>
#include <QStyleOption>

namespace ps::app {
namespace {

// The desktop's style, painted at less cost; the list's scroll bars repaint at
// every line a sweep adds.
//
// Qt's raster engine hands a fill of 96 rows or more to its thread pool in
// pieces and waits for them. For a scroll bar's narrow strips the hand-over
// costs far more than the fill, and with every core busy each piece waits its
// turn (most of a sweep's time under load): bars are painted in bands, and
// their fills stay on this thread.
//
// Grooves drawn as separate pages (the Windows style's; Fusion paints its own
// in one piece) are filled in one colour, the average of the light and window
// colours the Windows style's dither pattern mixes: the patterned groove was
// most of a sweep's painting time (255 answering hosts: about 100 ms against
// 60 ms flat).
class ThriftyStyle : public QProxyStyle {
 public:
  using QProxyStyle::QProxyStyle;

  void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                   const QWidget* widget) const override {
    const bool groove = element == CE_ScrollBarAddPage || element == CE_ScrollBarSubPage;
    if (groove && !(option->state & State_Sunken)) {
      const QColor light = option->palette.light().color();
      const QColor window = option->palette.window().color();
      painter->fillRect(option->rect, QColor((light.red() + window.red()) / 2,
                                             (light.green() + window.green()) / 2,
                                             (light.blue() + window.blue()) / 2));
      return;
    }
    QProxyStyle::drawControl(element, option, painter, widget);
  }

  void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                          QPainter* painter, const QWidget* widget) const override {
    Banded(control == CC_ScrollBar, *painter, option->rect,
           [&] { QProxyStyle::drawComplexControl(control, option, painter, widget); });
  }

 private:
  // Rows (or columns) per band: fewer than the 96 at which the engine shares
  // a fill out, at the one span a row Fusion and Windows paint bars with. Each
  // band repeats the style's whole drawing, clipped: fewer bands cost less.
  static constexpr int kBand = 95;

  // Calls `paint`; if `band`, in bands of what it may change of `rect`:
  // inside the painter's clip and the system clip (the widget's region being
  // repainted, in device pixels). A tall part is split into rows, a wide one
  // into columns (a horizontal scroll bar's fills run down its columns).
  template <typename Paint>
  static void Banded(bool band, QPainter& painter, const QRect& rect, const Paint& paint) {
    const QRect part = band ? PaintedPart(rect, painter) : QRect();
    const int size = static_cast<int>(kBand / painter.device()->devicePixelRatioF());
    const bool rows = part.height() > size;
    if (size < 1 || (!rows && part.width() <= size)) {
      paint();
      return;
    }
    const int end = rows ? part.bottom() : part.right();
    for (int at = rows ? part.top() : part.left(); at <= end; at += size) {
      painter.save();
      painter.setClipRect(rows ? QRect(part.left(), at, part.width(), size)
                               : QRect(at, part.top(), size, part.height()),
                          Qt::IntersectClip);
      paint();
      painter.restore();
    }
  }

  static QRect PaintedPart(QRect rect, const QPainter& painter) {
    if (painter.hasClipping()) rect &= painter.clipBoundingRect().toAlignedRect();
    const QPaintEngine* engine = painter.paintEngine();
    const QRegion system = engine != nullptr ? engine->systemClip() : QRegion();
    if (system.isEmpty()) return rect;
    return rect & painter.deviceTransform().inverted().mapRect(system.boundingRect());
  }
};

}  // namespace

void ConfigureApplication() {
  // The name, not the display name: a display name would be appended to the
  // window title, which must read exactly "Form1" or the address being probed.
  QApplication::setApplicationName(QStringLiteral("PingSweep"));
  QApplication::setApplicationVersion(QStringLiteral(PINGSWEEP_VERSION));
  // Ties the windows to pingsweep.desktop: the Wayland app id, and the entry
  // a desktop shows for them (its StartupWMClass matches the X11 class).
  QGuiApplication::setDesktopFileName(QStringLiteral("pingsweep"));
  // The installed theme's icon when there is one, else the built-in copy.
  QApplication::setWindowIcon(
      QIcon::fromTheme(QStringLiteral("pingsweep"), QIcon(QStringLiteral(":/pingsweep.svg"))));
  // The desktop's own style (the platform's default, the platform theme's, or
  // QT_STYLE_OVERRIDE / -style), painted at less cost.
  const QString name = QApplication::style()->name();
  if (QStyle* base = QStyleFactory::create(name)) {
    QApplication::setStyle(new ThriftyStyle(base));
  }
}

}  // namespace ps::app
