#include "winapp/window_system.h"

#include <string>

#include "core/error.h"

#include <windows.h>
#undef MessageBox  // the seam's member, not the system's macro

#include <cstdio>

namespace ps::winapp {

void Win32WindowSystem::MessageBox(std::u16string_view text, std::uint32_t uType) {
  const std::u16string message(text);
  std::fprintf(stderr, "%s\n", ToUtf8(message).c_str());
  std::fflush(stderr);
  MessageBoxW(GetActiveWindow(), reinterpret_cast<const wchar_t*>(message.c_str()), L"PingSweep",
              MB_OK | (uType & MB_ICONMASK));
}

void Win32WindowSystem::DoEvents() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      return;
    }
    HWND top = GetAncestor(msg.hwnd, GA_ROOT);
    if (top != nullptr && IsDialogMessageW(top, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

}  // namespace ps::winapp
