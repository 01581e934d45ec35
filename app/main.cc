// PingSweep: the scan window is the whole application. It starts nothing else
// (the socket layer starts with the first probe) and ends when the window closes.
#include <QApplication>

#include "app/application.h"
#include "app/form1.h"
#include "app/qt_window_system.h"
#include "platform/net/net_services.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  ps::app::ConfigureApplication();

  ps::app::QtWindowSystem window_system;
  ps::platform::ScopedServices services({nullptr, nullptr, nullptr, &window_system});

  ps::app::Form1 form;
  form.show();
  return QApplication::exec();
}
