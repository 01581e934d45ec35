#include <locale.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "platform/process/process.h"

namespace ps::platform {
namespace {

void (*g_handler)() = nullptr;

void OnSignal(int) {
  if (g_handler != nullptr) g_handler();
}

}  // namespace

void OnFirstInterrupt(void (*handler)()) {
  g_handler = handler;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  action.sa_flags = SA_RESETHAND;  // no SA_RESTART: a blocked wait returns at once
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

void UseUtf8Text() {
  // Names come back from the resolver in the locale's encoding.
  if (setlocale(LC_CTYPE, "C.UTF-8") == nullptr) setlocale(LC_CTYPE, "");
}

std::string ProgramFolder() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) return "";
  const std::string program(path, static_cast<std::size_t>(n));
  const std::size_t slash = program.rfind('/');
  return slash == std::string::npos ? "" : program.substr(0, slash);
}

}  // namespace ps::platform
