#include "app/form1.h"

#include <QAbstractItemDelegate>
#include <QCloseEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QShowEvent>
#include <QString>
#include <QStyleOptionViewItem>
#include <algorithm>
#include <limits>
#include <string>

#include "app/incremental_scroll_bar.h"
#include "app/placement.h"
#include "app/untrapped_error.h"
#include "net/ping.h"
#include "net/ping_result.h"
#include "platform/netapi/net_services.h"
#include "text/text.h"

namespace ps::app {
namespace {

// Design geometry, in pixels.
constexpr int kClientWidth = 437;
constexpr int kClientHeight = 533;
constexpr int kDesignLeft = 152;
constexpr int kDesignTop = 117;

constexpr int kFirstHost = 0;
constexpr int kLastHost = 254;

QString ToQString(const std::u16string& text) { return QString::fromStdU16String(text); }

// A window title that shows as given: Qt takes "[*]" in a title for the place
// of its modified mark and drops it, unless doubled.
QString LiteralTitle(const std::u16string& text) {
  return ToQString(text).replace(QStringLiteral("[*]"), QStringLiteral("[*][*]"));
}

// The address probed for host number `n` when the address box holds `text`:
// ".255" removed wherever it stands, then "." and the number.
std::u16string HostAddress(std::u16string_view text, int n) {
  std::u16string address = StrReplace(text, u".255", u"");
  address += u'.';
  for (char c : std::to_string(n)) address += static_cast<char16_t>(c);
  return address;
}

}  // namespace

Form1::Form1(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("Form1"));
  // Fixed design positions: no layout, nothing follows a resize.
  setFixedSize(kClientWidth, kClientHeight);
  // The design position, unless the window would not fit on the screen there.
  PlaceOnScreen(*this, QPoint(kDesignLeft, kDesignTop));

  list1_ = new QListWidget(this);
  list1_->setObjectName(QStringLiteral("List1"));
  list1_->setGeometry(16, 64, 225, 420);
  list1_->setSortingEnabled(false);
  // All lines are one text row high; taking one line's size for all keeps the
  // relayout after each appended line cheap (it runs at every probe's dispatch).
  // The view takes the last line's size, so AppendLine gives each new line the
  // widest width so far: the horizontal scroll bar then always covers the
  // longest line.
  list1_->setUniformItemSizes(true);
  // The list sets its scroll bars' range and steps at each of those relayouts:
  // bars that repaint only where their slider moved keep that cheap too.
  list1_->setVerticalScrollBar(new IncrementalScrollBar(Qt::Vertical, list1_));
  list1_->setHorizontalScrollBar(new IncrementalScrollBar(Qt::Horizontal, list1_));

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
    Sweep(QPointer<Form1>(this));
  } catch (...) {
    ReportCurrentException();
  }
}

void Form1::Sweep(QPointer<Form1> self) {
  for (int n = kFirstHost; n <= kLastHost; ++n) {
    if (!StillOpen(self)) return;
    // Read again for every host: an edit made during the sweep applies from
    // the next host on.
    const std::u16string address = HostAddress(self->text1_->text().toStdU16String(), n);
    self->setWindowTitle(LiteralTitle(address));

    // The probe dispatches pending window messages: the window may be closed
    // or destroyed, or a nested sweep run, before it returns.
    ProbeNotice notice;
    const PingResult result = PingHost(address, &notice);
    if (!StillOpen(self)) return;

    if (notice.echo_service_unavailable) {
      // The user must act; one box for this sweep, not one per host.
      platform::Services().window->MessageBox(notice.message, platform::MB_ICONINFORMATION);
      return;
    }
    if (result.Present != 0) {
      const std::u16string name = ResolveHostName(address);
      if (!StillOpen(self)) return;
      self->AppendLine(ToQString(address + u" : " + name));
    }
  }
}

void Form1::AppendLine(const QString& line) {
  if (list1_->count() == 0) widest_line_ = 0;  // a cleared list starts afresh
  auto* item = new QListWidgetItem(line, list1_);
  QStyleOptionViewItem option;
  option.initFrom(list1_);
  const QSize natural = list1_->itemDelegate()->sizeHint(option, list1_->indexFromItem(item));
  widest_line_ = std::max(widest_line_, natural.width());
  item->setSizeHint(QSize(widest_line_, natural.height()));
}

}  // namespace ps::app
