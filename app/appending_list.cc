#include "app/appending_list.h"

#include <QAbstractItemDelegate>
#include <QEvent>
#include <QScrollBar>
#include <QStyleOptionViewItem>
#include <algorithm>
#include <utility>

namespace ps::app {

AppendingList::AppendingList(QWidget* parent) : QListWidget(parent) {
  // All lines are one text row high; taking one line's size for all keeps the
  // relayout after each appended line cheap (it runs at every probe's dispatch).
  setUniformItemSizes(true);
}

void AppendingList::Append(const QString& line) {
  if (count() == 0) widest_line_ = 0;  // a cleared list starts afresh
  auto* item = new QListWidgetItem(line, this);
  QStyleOptionViewItem option;
  option.initFrom(this);
  const QSize natural = itemDelegate()->sizeHint(option, indexFromItem(item));
  widest_line_ = std::max(widest_line_, natural.width());
  item->setSizeHint(QSize(widest_line_, natural.height()));
  ++appended_;
}

AppendingList::Shown AppendingList::Before() const {
  return {horizontalScrollBar()->value(), verticalScrollBar()->value(), viewport()->geometry(),
          laid_out_item_};
}

void AppendingList::LaidOut() {
  laid_out_ = count();
  laid_out_item_ = laid_out_ > 0 ? visualRect(model()->index(0, 0)).size() : QSize();
}

void AppendingList::doItemsLayout() {
  const int appended = std::exchange(appended_, 0);
  const int first_new = laid_out_;
  QWidget* const view = viewport();
  if (appended == 0 || first_new == 0 || count() != first_new + appended ||
      view->testAttribute(Qt::WA_UpdatesDisabled)) {
    QListWidget::doItemsLayout();
    LaidOut();
    return;
  }
  const Shown before = Before();
  // The layout ends by asking for the whole viewport: updates asked for during
  // it are dropped here, and asked for below only where something changed
  // (setUpdatesEnabled(true) would ask for the whole viewport again).
  view->setAttribute(Qt::WA_UpdatesDisabled);
  QListWidget::doItemsLayout();
  view->setAttribute(Qt::WA_UpdatesDisabled, false);
  LaidOut();
  if (!(Before() == before)) {
    view->update();  // scrolled, resized or widened: everything, as Qt would
    return;
  }
  for (int row = first_new; row < laid_out_; ++row) {
    view->update(visualRect(model()->index(row, 0)));
  }
}

bool AppendingList::viewportEvent(QEvent* event) {
  // A line added since the last layout cleared the view's layout, and the
  // line before it may be waiting for its repaint: painting before the layout
  // would leave that line blank, and the layout asks only for the new line.
  if (event->type() == QEvent::Paint) executeDelayedItemsLayout();
  return QListWidget::viewportEvent(event);
}

}  // namespace ps::app
