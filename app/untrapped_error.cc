#include "app/untrapped_error.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QString>
#include <exception>
#include <new>
#include <string>
#include <utility>

#include "app/message_box.h"
#include "core/error.h"

namespace ps::app {
namespace {

void ShowInMessageBox(std::u16string_view text) {
  // Copyable, so that the error can be quoted in a report.
  CopyableMessageBox box(QMessageBox::Critical, QString::fromStdU16String(std::u16string(text)));
  box.exec();
}

void EndApplication(int exit_code) { QCoreApplication::exit(exit_code); }

UntrappedErrorHooks& Hooks() {
  static UntrappedErrorHooks hooks{ShowInMessageBox, EndApplication};
  return hooks;
}

bool ending = false;

std::u16string Utf16(std::string_view text) { return FromUtf8(text); }

}  // namespace

std::u16string UntrappedErrorText(std::int32_t number, std::u16string_view description) {
  std::u16string text = u"Run-time error '";
  text += Utf16(std::to_string(number));
  text += u"':\n\n";
  text += description;
  return text;
}

void ReportUntrappedError(std::int32_t number, std::u16string_view description) {
  // Set first: the box runs its own event loop, and a sweep further up the
  // stack must not go on once we are here.
  ending = true;
  Hooks().show(UntrappedErrorText(number, description));
  Hooks().terminate(kUntrappedErrorExitCode);
}

void ReportCurrentException() {
  try {
    throw;
  } catch (const Error& e) {
    ReportUntrappedError(e.Number(), e.Description());
  } catch (const std::bad_alloc&) {
    ReportUntrappedError(kErrOutOfMemory, u"Out of memory");
  } catch (const std::exception& e) {
    ReportUntrappedError(kErrInternal, u"Internal error: " + Utf16(e.what()));
  } catch (...) {
    ReportUntrappedError(kErrInternal, u"Internal error");
  }
}

bool ApplicationEnding() { return ending; }

ScopedUntrappedErrorHooks::ScopedUntrappedErrorHooks(UntrappedErrorHooks hooks)
    : previous_(Hooks()), previous_ending_(ending) {
  if (hooks.show) Hooks().show = std::move(hooks.show);
  if (hooks.terminate) Hooks().terminate = std::move(hooks.terminate);
  ending = false;
}

ScopedUntrappedErrorHooks::~ScopedUntrappedErrorHooks() {
  Hooks() = std::move(previous_);
  ending = previous_ending_;
}

}  // namespace ps::app
