#include "app/application.h"

#include <QApplication>
#include <QColor>
#include <QGuiApplication>
#include <QIcon>
#include <QPainter>
#include <QProxyStyle>
#include <QStyle>
#include <QStyleFactory>
#include <QStyleOption>

namespace ps::app {
namespace {

// The desktop's style, painted at less cost; the list's scroll bars repaint at
// every line a sweep adds (IncrementalScrollBar paints them in bands of its own).
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
