// The results list: a list box that gains lines at its end, one per probe's
// dispatch, and repaints only what each new line changes. Qt's list view lays
// itself out anew after every inserted row and then repaints everything it
// shows; after lines added at the end, only those lines differ, unless the
// layout moved, resized or widened what is shown.
#pragma once

#include <QListWidget>
#include <QRect>
#include <QSize>

namespace ps::app {

class AppendingList : public QListWidget {
  Q_OBJECT

 public:
  explicit AppendingList(QWidget* parent = nullptr);

  // Adds one line at the end. Every line is as wide as the widest so far (the
  // view takes one line's size for all), so the horizontal scroll bar always
  // covers the longest line.
  void Append(const QString& line);

  void doItemsLayout() override;

 protected:
  bool viewportEvent(QEvent* event) override;

 private:
  // What a layout may change of what the viewport shows, besides new lines.
  struct Shown {
    int horizontal, vertical;  // scroll bar values
    QRect viewport;
    QSize item;  // of every line (uniform sizes), as laid out
    bool operator==(const Shown& other) const = default;
  };
  // Now, with the item size of the last layout (asking the view for it now
  // would lay it out).
  Shown Before() const;
  void LaidOut();

  int widest_line_ = 0;  // pixels: the widest line so far
  int appended_ = 0;     // lines added by Append since the last layout
  int laid_out_ = 0;     // lines at the last layout
  QSize laid_out_item_;  // every line's size at the last layout
};

}  // namespace ps::app
