#include "app/form1.h"

#include <QCloseEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QShowEvent>
#include <QString>
#include <limits>
#include <string>
#include <string_view>

#include "app/appending_list.h"
#include "app/incremental_scroll_bar.h"
#include "app/placement.h"
#include "app/untrapped_error.h"
#include "scan/subnet_sweep.h"

namespace ps::app {
namespace {

// Design geometry, in pixels.
constexpr int kClientWidth = 437;
constexpr int kClientHeight = 533;
constexpr int kDesignLeft = 152;
constexpr int kDesignTop = 117;

QString ToQString(const std::u16string& text) { return QString::fromStdU16String(text); }

// A window title that shows as given: Qt takes "[*]" in a title for the place
// of its modified mark and drops it, unless doubled.
QString LiteralTitle(const std::u16string& text) {
  return ToQString(text).replace(QStringLiteral("[*]"), QStringLiteral("[*][*]"));
}

}  // namespace

class Form1::SweepWindow : public scan::SweepWindow {
 public:
  explicit SweepWindow(Form1* form) : form_(form) {}
  bool StillOpen() override { return Form1::StillOpen(form_); }
  std::u16string AddressText() override { return form_->text1_->text().toStdU16String(); }
  void SetTitle(std::u16string_view title) override {
    form_->setWindowTitle(LiteralTitle(std::u16string(title)));
  }
  void AppendLine(std::u16string_view line) override {
    form_->AppendLine(ToQString(std::u16string(line)));
  }

 private:
  QPointer<Form1> form_;
};

Form1::Form1(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("Form1"));
  // Fixed design positions: no layout, nothing follows a resize.
  setFixedSize(kClientWidth, kClientHeight);
  // The design position, unless the window would not fit on the screen there.
  PlaceOnScreen(*this, QPoint(kDesignLeft, kDesignTop));

  list1_ = new AppendingList(this);
  list1_->setObjectName(QStringLiteral("List1"));
  list1_->setGeometry(16, 64, 225, 420);
  list1_->setSortingEnabled(false);
  // The list sets its scroll bars' range and steps at each of its relayouts:
  // bars that repaint only where their slider moved keep that cheap too.
  list1_->setVerticalScrollBar(new IncrementalScrollBar(Qt::Vertical, list1_));
  list1_->setHorizontalScrollBar(new IncrementalScrollBar(Qt::Horizontal, list1_));
  // Each bar fills the box Qt holds it in, and paints itself whole: nothing
  // beneath the boxes needs painting first. Qt raises both boxes at each of
  // those relayouts, which repaints them whole once both bars show.
  for (QScrollBar* bar : {list1_->verticalScrollBar(), list1_->horizontalScrollBar()}) {
    bar->parentWidget()->setAttribute(Qt::WA_OpaquePaintEvent);
  }

  text1_ = new QLineEdit(QStringLiteral("192.168.1.255"), this);
  text1_->setObjectName(QStringLiteral("Text1"));
  text1_->setGeometry(16, 24, 145, 19);
  // A line edit stops at 32767 characters unless told otherwise.
  text1_->setMaxLength(std::numeric_limits<int>::max());

  command1_ = new QPushButton(QStringLiteral("PINGs"), this);
  command1_->setObjectName(QStringLiteral("Command1"));
  command1_->setGeometry(184, 24, 65, 25);
  // Enter in the address box must not start a sweep.
  command1_->setAutoDefault(false);
  command1_->setDefault(false);

  setTabOrder(list1_, text1_);
  setTabOrder(text1_, command1_);
  list1_->setFocus(Qt::OtherFocusReason);

  connect(command1_, &QPushButton::clicked, this, &Form1::Command1_Click);
}

void Form1::closeEvent(QCloseEvent* event) {
  QWidget::closeEvent(event);
  if (event->isAccepted()) closed_ = true;
}

void Form1::showEvent(QShowEvent* event) {
  closed_ = false;
  QWidget::showEvent(event);
}

bool Form1::StillOpen(const QPointer<Form1>& self) {
  return !self.isNull() && !self->closed_ && !ApplicationEnding();
}

void Form1::Command1_Click() {
  // Nothing may propagate into Qt's event loop: whatever escapes the sweep is
  // reported here and ends the application. The window may be destroyed
  // during the sweep, so the sweep gets a guarded pointer and nothing here
  // touches a member afterwards.
  try {
    SweepWindow window(this);
    scan::RunSweep(window);
  } catch (...) {
    ReportCurrentException();
  }
}

void Form1::AppendLine(const QString& line) { list1_->Append(line); }

}  // namespace ps::app
