// Last-resort handling of an error that reaches the button's handler: it is
// reported in a message box with its number and description, and then the
// application ends. No exception may cross Qt's event loop, so the handler
// catches everything and comes here.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "scan/untrapped.h"

namespace ps::app {

// The report's text and numbers: scan/untrapped.h, shared with the Win32 window.
using scan::kErrInternal;
using scan::kErrOutOfMemory;
using scan::kUntrappedErrorExitCode;
using scan::UntrappedErrorText;

// Shows the report (modal, OK only) and then ends the application. From then on
// ApplicationEnding() is true, so sweeps further up the stack stop.
void ReportUntrappedError(std::int32_t number, std::u16string_view description);

// Reports whatever std::current_exception() holds. Call from a catch block.
void ReportCurrentException();

bool ApplicationEnding();

// How the report is shown and how the application ends. Defaults: a critical
// QMessageBox captioned with the application's name, then
// QCoreApplication::exit(kUntrappedErrorExitCode).
struct UntrappedErrorHooks {
  std::function<void(std::u16string_view text)> show;
  std::function<void(int exit_code)> terminate;
};

// Replaces the hooks (null members keep the current ones) and clears the
// ending state for its lifetime; restores both on destruction. For tests.
class ScopedUntrappedErrorHooks {
 public:
  explicit ScopedUntrappedErrorHooks(UntrappedErrorHooks hooks);
  ~ScopedUntrappedErrorHooks();
  ScopedUntrappedErrorHooks(const ScopedUntrappedErrorHooks&) = delete;
  ScopedUntrappedErrorHooks& operator=(const ScopedUntrappedErrorHooks&) = delete;

 private:
  UntrappedErrorHooks previous_;
  bool previous_ending_;
};

}  // namespace ps::app
