#include "winapp/form.h"

#include <algorithm>
#include <limits>

#include "scan/subnet_sweep.h"
#include "scan/untrapped.h"
#include "winapp/form_ids.h"

namespace ps::winapp {
namespace {

// Design geometry, in pixels: the client area and the controls within it.
constexpr int kClientWidth = 437;
constexpr int kClientHeight = 533;
constexpr int kDesignLeft = 152;
constexpr int kDesignTop = 117;
constexpr DWORD kFormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr wchar_t kAppName[] = L"PingSweep";

bool g_ending = false;

const wchar_t* Wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

// The form as the sweep sees it.
class SweepWindow : public scan::SweepWindow {
 public:
  explicit SweepWindow(MainForm* form) : form_(form) {}
  bool StillOpen() override { return form_->StillOpen(); }
  std::u16string AddressText() override { return form_->AddressText(); }
  void SetTitle(std::u16string_view title) override { form_->SetTitle(title); }
  void AppendLine(std::u16string_view line) override { form_->AppendLine(line); }

 private:
  MainForm* form_;
};

}  // namespace

MainForm::MainForm(HINSTANCE instance) : instance_(instance) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kFormClass;
  RegisterClassExW(&wc);
  RECT r{0, 0, kClientWidth, kClientHeight};
  AdjustWindowRectEx(&r, kFormStyle, FALSE, WS_EX_CONTROLPARENT);
  hwnd_ = CreateWindowExW(WS_EX_CONTROLPARENT, kFormClass, L"Form1", kFormStyle, kDesignLeft,
                          kDesignTop, r.right - r.left, r.bottom - r.top, nullptr, nullptr,
                          instance, this);
}

MainForm::~MainForm() {
  if (font_ != nullptr) DeleteObject(font_);
}

void MainForm::Show(int show_command) {
  ShowWindow(hwnd_, show_command);
  UpdateWindow(hwnd_);
  SetFocus(list1_);  // List1 comes first in the tab order
}

void MainForm::CreateControls() {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof(metrics);
  SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0);
  font_ = CreateFontIndirectW(&metrics.lfMessageFont);
  auto child = [&](const wchar_t* cls, const wchar_t* text, DWORD style, int x, int y, int w, int h,
                   int id, DWORD ex = 0) {
    HWND c = CreateWindowExW(ex, cls, text, WS_CHILD | WS_VISIBLE | WS_TABSTOP | style, x, y, w, h,
                             hwnd_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_,
                             nullptr);
    SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    return c;
  };
  // Created in tab order: List1, Text1, Command1. The list is unsorted.
  list1_ = child(L"LISTBOX", L"",
                 WS_VSCROLL | WS_HSCROLL | LBS_NOINTEGRALHEIGHT | LBS_NOTIFY, 16, 64, 225, 420,
                 kList1Id, WS_EX_CLIENTEDGE);
  text1_ = child(L"EDIT", L"192.168.1.255", ES_AUTOHSCROLL, 16, 24, 145, 19, kText1Id,
                 WS_EX_CLIENTEDGE);
  SendMessageW(text1_, EM_SETLIMITTEXT, 0x7FFFFFFE, 0);  // no limit beyond the system's
  // A plain push button: Enter in the address box does not start a sweep.
  command1_ = child(L"BUTTON", L"PINGs", BS_PUSHBUTTON, 184, 24, 65, 25, kCommand1Id);
}

bool MainForm::StillOpen() const { return !closed_ && !g_ending && IsWindow(hwnd_); }

std::u16string MainForm::AddressText() const {
  const int n = GetWindowTextLengthW(text1_);
  std::u16string text(static_cast<std::size_t>(n) + 1, u'\0');
  const int got = GetWindowTextW(text1_, reinterpret_cast<wchar_t*>(text.data()), n + 1);
  text.resize(static_cast<std::size_t>(std::max(got, 0)));
  return text;
}

void MainForm::SetTitle(std::u16string_view title) { SetWindowTextW(hwnd_, Wide(std::u16string(title))); }

void MainForm::AppendLine(std::u16string_view line) {
  const std::u16string text(line);
  SendMessageW(list1_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(text)));
  // The horizontal scroll bar covers the widest line so far.
  HDC dc = GetDC(list1_);
  HGDIOBJ old = SelectObject(dc, font_);
  SIZE size{};
  GetTextExtentPoint32W(dc, Wide(text), static_cast<int>(text.size()), &size);
  SelectObject(dc, old);
  ReleaseDC(list1_, dc);
  if (size.cx + 8 > widest_line_) {
    widest_line_ = size.cx + 8;
    SendMessageW(list1_, LB_SETHORIZONTALEXTENT, static_cast<WPARAM>(widest_line_), 0);
  }
}

void MainForm::Command1_Click() {
  // Nothing may propagate into the system's dispatch: whatever escapes the
  // sweep is reported here and ends the application.
  try {
    SweepWindow window(this);
    scan::RunSweep(window);
  } catch (...) {
    const scan::ErrorReport report = scan::CurrentExceptionReport();
    ReportUntrappedError(StillOpen() ? hwnd_ : nullptr, report.number, report.description);
  }
}

LRESULT CALLBACK MainForm::WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* form = static_cast<MainForm*>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);
    form->hwnd_ = hwnd;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
  }
  auto* form = reinterpret_cast<MainForm*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  return form != nullptr ? form->Handle(message, wparam, lparam)
                         : DefWindowProcW(hwnd, message, wparam, lparam);
}

LRESULT MainForm::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CREATE:
      CreateControls();
      return 0;
    case WM_COMMAND:
      if (LOWORD(wparam) == kCommand1Id && HIWORD(wparam) == BN_CLICKED) {
        Command1_Click();
        return 0;
      }
      break;
    case WM_DESTROY:
      // A sweep still running sees the window closed and stops.
      closed_ = true;
      SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(hwnd_, message, wparam, lparam);
}

void ReportUntrappedError(HWND owner, int number, std::u16string_view description) {
  // Set first: the box runs its own message loop, and a sweep further up the
  // stack must not go on once we are here.
  g_ending = true;
  const std::u16string text = scan::UntrappedErrorText(number, description);
  MessageBoxW(owner, Wide(text), kAppName, MB_OK | MB_ICONERROR);
  PostQuitMessage(scan::kUntrappedErrorExitCode);
}

bool ApplicationEnding() { return g_ending; }

int RunMessageLoop(HWND dialog_like) {
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (IsWindow(dialog_like) && IsDialogMessageW(dialog_like, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return static_cast<int>(msg.wParam);
}

}  // namespace ps::winapp
