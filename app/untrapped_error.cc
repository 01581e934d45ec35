#include "app/untrapped_error.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QString>
#include <string>
#include <utility>

#include "app/message_box.h"

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

}  // namespace

void ReportUntrappedError(std::int32_t number, std::u16string_view description) {
  // Set first: the box runs its own event loop, and a sweep further up the
  // stack must not go on once we are here.
  ending = true;
  Hooks().show(UntrappedErrorText(number, description));
  Hooks().terminate(kUntrappedErrorExitCode);
}

void ReportCurrentException() {
  const scan::ErrorReport report = scan::CurrentExceptionReport();
  ReportUntrappedError(report.number, report.description);
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
