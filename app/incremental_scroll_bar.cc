#include "app/incremental_scroll_bar.h"

#include <QPaintEvent>
#include <QPainter>
#include <QStyleOptionSlider>

namespace ps::app {
namespace {

// Pixels beyond its rectangle that a style may draw a slider's frame or shadow
// on (Fusion draws its frame one pixel out).
constexpr int kSliderMargin = 3;

}  // namespace

IncrementalScrollBar::IncrementalScrollBar(Qt::Orientation orientation, QWidget* parent)
    : QScrollBar(orientation, parent) {
  // Painted whole by paintEvent, so nothing beneath is painted first: when
  // both bars show, the list raises both at each relayout, which repaints them
  // whole, and the list's frame beneath them with them.
  setAttribute(Qt::WA_OpaquePaintEvent);
}

IncrementalScrollBar::Look IncrementalScrollBar::Now() const {
  QStyleOptionSlider option;
  initStyleOption(&option);
  Look look;
  look.bar = option.rect;
  look.slider =
      style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this);
  look.state = option.state;
  look.empty = option.minimum == option.maximum;
  look.at_start = option.sliderValue == option.minimum;
  look.at_end = option.sliderValue == option.maximum;
  return look;
}

void IncrementalScrollBar::sliderChange(SliderChange change) {
  // A new value or orientation is the user's scrolling or a new bar: whole.
  if ((change != SliderRangeChange && change != SliderStepsChange) || !shown_) {
    QScrollBar::sliderChange(change);
    return;
  }
  const Look now = Now();
  if (!now.SameBut(*shown_)) {
    QScrollBar::sliderChange(change);
    return;
  }
  if (now.slider == shown_->slider) return;  // updates pending since cover the rest
  // Outside both sliders every pixel is groove, painted alike along the bar;
  // what lies between the sliders is inside their union.
  QRect stretch = now.slider.united(shown_->slider);
  if (orientation() == Qt::Vertical) {
    stretch = QRect(0, stretch.top() - kSliderMargin, width(),
                    stretch.height() + 2 * kSliderMargin);
  } else {
    stretch = QRect(stretch.left() - kSliderMargin, 0, stretch.width() + 2 * kSliderMargin,
                    height());
  }
  update(stretch);
}

void IncrementalScrollBar::paintEvent(QPaintEvent* event) {
  {
    // What a style leaves unpainted shows the window's background, as it
    // would over the list.
    QPainter painter(this);
    painter.fillRect(event->rect(), palette().window());
  }
  QScrollBar::paintEvent(event);
  // What the event left out shows the same as now: every change since the
  // last paint asked for the stretches where they differ.
  shown_ = Now();
}

}  // namespace ps::app
