#include "app/qt_window_system.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QString>
#include <string>

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
  QMessageBox box(IconFor(uType), QGuiApplication::applicationDisplayName(),
                  QString::fromStdU16String(std::u16string(text)), QMessageBox::Ok);
  box.exec();
}

void QtWindowSystem::DoEvents() { QCoreApplication::processEvents(); }

}  // namespace ps::app
