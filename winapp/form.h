// The scan window in native Win32 (Qt for Windows is not among the packages we
// build with): the address box Text1 pre-filled "192.168.1.255", the "PINGs"
// button Command1, the results list List1, the title bar. A press runs the
// one toolkit-free sweep (scan/subnet_sweep.h) on the GUI thread; the probe's
// message dispatch lets the window repaint, take edits, a nested press or a
// close while it runs. An error that escapes the sweep is reported in a
// message box and ends the application with exit code 1.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace ps::winapp {

class MainForm {
 public:
  explicit MainForm(HINSTANCE instance);
  ~MainForm();
  MainForm(const MainForm&) = delete;
  MainForm& operator=(const MainForm&) = delete;

  HWND hwnd() const { return hwnd_; }
  void Show(int show_command);

  // False once the window has been closed or the application is ending.
  bool StillOpen() const;
  std::u16string AddressText() const;
  void SetTitle(std::u16string_view title);
  void AppendLine(std::u16string_view line);

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam);
  void CreateControls();
  void Command1_Click();

  HINSTANCE instance_;
  HWND hwnd_ = nullptr;
  HWND text1_ = nullptr;
  HWND command1_ = nullptr;
  HWND list1_ = nullptr;
  HFONT font_ = nullptr;
  bool closed_ = false;
  int widest_line_ = 0;  // pixels: the list's horizontal extent
};

// Shows the report of an untrapped error (modal, OK only) and then ends the
// application: from then on ApplicationEnding() is true.
void ReportUntrappedError(HWND owner, int number, std::u16string_view description);
bool ApplicationEnding();

// Runs the application's message loop until WM_QUIT; returns its exit code.
int RunMessageLoop(HWND dialog_like);

}  // namespace ps::winapp
