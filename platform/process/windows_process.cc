#include "platform/process/process.h"

#include <windows.h>
#include <io.h>

#include <atomic>
#include <cstdio>
#include <string>

namespace ps::platform {
namespace {

std::atomic<void (*)()> g_handler{nullptr};
std::atomic<bool> g_interrupted{false};

// Runs on a thread of its own. TRUE: handled (the first time); FALSE: the
// system's default, which ends the process.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  if (g_interrupted.exchange(true)) return FALSE;
  if (void (*handler)() = g_handler.load()) handler();
  return TRUE;
}

}  // namespace

void OnFirstInterrupt(void (*handler)()) {
  g_handler = handler;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool StderrIsTerminal() {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void UseUtf8Text() {
  // The program writes UTF-8; the console shows it as such.
  SetConsoleOutputCP(CP_UTF8);
}

std::string ProgramFolder() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return "";
  std::wstring program(path, n);
  const std::size_t sep = program.find_last_of(L"\\/");
  if (sep == std::wstring::npos) return "";
  program.resize(sep);
  const int size = WideCharToMultiByte(CP_UTF8, 0, program.c_str(), static_cast<int>(program.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, program.c_str(), static_cast<int>(program.size()), out.data(),
                      size, nullptr, nullptr);
  return out;
}

}  // namespace ps::platform
