#include "app/qt_window_system.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QString>
#include <cstdio>
#include <string>

#include "app/message_box.h"

namespace ps::app {
namespace {

// The icon bits of a Windows message box style.
QMessageBox::Icon IconFor(std::uint32_t uType) {
  switch (uType & 0xF0u) {
    case 0x10u:
      return QMessageBox::Critical;
    case 0x20u:
      return QMessageBox::Question;
    case 0x30u:
      return QMessageBox::Warning;
    case 0x40u:
      return QMessageBox::Information;
    default:
      return QMessageBox::NoIcon;
  }
}

}  // namespace

void QtWindowSystem::MessageBox(std::u16string_view text, std::uint32_t uType) {
  const QString message = QString::fromStdU16String(std::u16string(text));
  // Also for a terminal or a log, and for whoever cannot copy from the box.
  std::fprintf(stderr, "%s\n", message.toUtf8().constData());
  std::fflush(stderr);
  CopyableMessageBox box(IconFor(uType), message);
  box.exec();
}

void QtWindowSystem::DoEvents() { QCoreApplication::processEvents(); }

}  // namespace ps::app
