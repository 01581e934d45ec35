// A scroll bar that, when its range or steps change, repaints only the
// stretch its slider moved over. A list view sets both at every layout, and a
// sweep lays out its list once per appended line: repainting the whole bar in
// the desktop's style each time was most of a sweep's painting.
#pragma once

#include <QRect>
#include <QScrollBar>
#include <QStyle>
#include <optional>

class QPaintEvent;

namespace ps::app {

class IncrementalScrollBar : public QScrollBar {
  Q_OBJECT

 public:
  explicit IncrementalScrollBar(Qt::Orientation orientation, QWidget* parent = nullptr);

 protected:
  void sliderChange(SliderChange change) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  // What decides how the bar looks, besides its slider's place: a change in
  // any of it repaints the whole bar.
  struct Look {
    QRect bar;
    QRect slider;
    QStyle::State state;
    bool empty, at_start, at_end;  // minimum == maximum; the value at either end
    bool SameBut(const Look& other) const {
      return bar == other.bar && state == other.state && empty == other.empty &&
             at_start == other.at_start && at_end == other.at_end;
    }
  };
  Look Now() const;

  std::optional<Look> shown_;  // as the last paint left it; none before the first
};

}  // namespace ps::app
