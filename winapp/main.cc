// PingSweep for Windows: the scan window is the whole application. It starts
// nothing else (the socket layer starts with the first probe) and ends when
// the window closes.
// The seam's names first: the system headers' macros would rewrite them.
#include "platform/netapi/net_services.h"
#include "winapp/window_system.h"

#include "winapp/form.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show_command) {
  ps::winapp::Win32WindowSystem window_system;
  ps::platform::ScopedServices services({nullptr, nullptr, nullptr, &window_system});
  ps::winapp::MainForm form(instance);
  if (form.hwnd() == nullptr) return 1;
  form.Show(show_command);
  return ps::winapp::RunMessageLoop(form.hwnd());
}
