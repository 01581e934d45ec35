#include "app/application.h"

#include <QApplication>
#include <QColor>
#include <QPainter>
#include <QProxyStyle>
#include <QStyle>
#include <QStyleFactory>
#include <QStyleOption>

namespace ps::app {
namespace {

// The Windows style with the scroll bar grooves filled in one colour, the
// average of the two its dither pattern mixes. The list's scroll bars repaint
// at every line a sweep adds, and the patterned fill was most of a sweep's
// painting time (about 100 ms against 60 ms for a sweep of 255 answering hosts).
class FlatGrooveStyle : public QProxyStyle {
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
  // The classic Windows look, unless the user asks for another style. Besides
  // fitting the window's design, its flat scroll bar repaints several times
  // faster than Fusion's gradients, and the list's scroll bar repaints at every
  // line a sweep adds.
  if (qEnvironmentVariableIsEmpty("QT_STYLE_OVERRIDE")) {
    if (QStyle* style = QStyleFactory::create(QStringLiteral("Windows"))) {
      QApplication::setStyle(new FlatGrooveStyle(style));
    }
  }
}

}  // namespace ps::app
