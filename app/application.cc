#include "app/application.h"

#include <QApplication>
#include <QStyle>
#include <QStyleFactory>

namespace ps::app {

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
      QApplication::setStyle(style);
    }
  }
}

}  // namespace ps::app
