// The scan window: an address box, the "PINGs" button and the results list.
// Pressing the button sweeps the 255 host numbers of the typed subnet on the
// GUI thread, one probe at a time (scan/subnet_sweep.h).
#pragma once

#include <QPointer>
#include <QWidget>

#include "app/appending_list.h"

class QCloseEvent;
class QLineEdit;
class QPushButton;
class QShowEvent;

namespace ps::app {

class Form1 : public QWidget {
  Q_OBJECT

 public:
  explicit Form1(QWidget* parent = nullptr);

  QLineEdit* Text1() const { return text1_; }
  QPushButton* Command1() const { return command1_; }
  QListWidget* List1() const { return list1_; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private slots:
  void Command1_Click();

 private:
  // The window as the sweep sees it; holds a guarded pointer, as the window
  // may be destroyed while the sweep runs.
  class SweepWindow;

  // False once this window has been closed or destroyed, or the application is
  // ending after an untrapped error: the sweep must touch nothing more.
  static bool StillOpen(const QPointer<Form1>& self);

  // Adds one line at the end of List1.
  void AppendLine(const QString& line);

  QLineEdit* text1_;
  QPushButton* command1_;
  AppendingList* list1_;
  bool closed_ = false;
};

}  // namespace ps::app
