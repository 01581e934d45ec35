#include "app/incremental_scroll_bar.h"

#include <QBackingStore>
#include <QGuiApplication>
#include <QPaintEvent>
#include <QPainter>
#include <QStyleOptionSlider>
#include <algorithm>

namespace ps::app {
namespace {

// Pixels beyond its rectangle that a style may draw a slider's frame or shadow
// on (Fusion draws its frame one pixel out).
constexpr int kSliderMargin = 3;

// Device pixels along the bar per piece painted or copied at once: fewer than
// the 96 rows at which Qt's raster engine hands a fill to its thread pool in
// pieces and waits for them. For a bar's narrow strips the hand-over costs far
// more than the fill, and with every core busy each piece waits its turn.
constexpr int kPiece = 95;
// Device pixels painted beyond each end of a piece, and not taken (see
// PaintScratch); part of kPiece.
constexpr int kMargin = 4;

// Events after which the bar looks as before: anything else (hover, presses,
// palette, style, size, state) may change how it looks, and drops what was kept.
bool KeepsLook(QEvent::Type type) {
  switch (type) {
    case QEvent::Paint:
    case QEvent::Move:
    case QEvent::ZOrderChange:
    case QEvent::UpdateRequest:
    case QEvent::UpdateLater:
    case QEvent::MetaCall:
      return true;
    default:
      return false;
  }
}

// Calls `each` with `part` cut across `orientation` into pieces at most
// `length` long.
template <typename Each>
void ForEachPiece(const QRect& part, Qt::Orientation orientation, int length, const Each& each) {
  if (orientation == Qt::Vertical) {
    for (int y = part.top(); y <= part.bottom(); y += length) {
      each(QRect(part.left(), y, part.width(), std::min(length, part.bottom() + 1 - y)));
    }
  } else {
    for (int x = part.left(); x <= part.right(); x += length) {
      each(QRect(x, part.top(), std::min(length, part.right() + 1 - x), part.height()));
    }
  }
}

}  // namespace

IncrementalScrollBar::IncrementalScrollBar(Qt::Orientation orientation, QWidget* parent)
    : QScrollBar(orientation, parent) {
  // Painted whole by paintEvent, so nothing beneath is painted first.
  setAttribute(Qt::WA_OpaquePaintEvent);
}

bool IncrementalScrollBar::event(QEvent* event) {
  if (!KeepsLook(event->type())) kept_look_.reset();
  return QScrollBar::event(event);
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

QRect IncrementalScrollBar::Stretch(const QRect& slider, const QRect& other) const {
  // Outside both sliders every pixel is groove, painted alike along the bar;
  // what lies between the sliders is inside their union.
  const QRect both = slider.united(other);
  if (orientation() == Qt::Vertical) {
    return QRect(0, both.top() - kSliderMargin, width(), both.height() + 2 * kSliderMargin);
  }
  return QRect(both.left() - kSliderMargin, 0, both.width() + 2 * kSliderMargin, height());
}

int IncrementalScrollBar::MarginLength() const {
  return std::max(1, static_cast<int>(kMargin / devicePixelRatioF()));
}

int IncrementalScrollBar::PieceLength() const {
  return std::max(1, static_cast<int>(kPiece / devicePixelRatioF()) - 2 * MarginLength());
}

void IncrementalScrollBar::sliderChange(SliderChange change) {
  // A new value or orientation is the user's scrolling or a new bar: whole.
  if ((change != SliderRangeChange && change != SliderStepsChange) || !shown_) {
    kept_look_.reset();
    QScrollBar::sliderChange(change);
    return;
  }
  const Look now = Now();
  if (!now.SameBut(*shown_)) {
    QScrollBar::sliderChange(change);
    return;
  }
  if (now.slider == shown_->slider) return;  // updates pending since cover the rest
  update(Stretch(now.slider, shown_->slider));
}

const QImage* IncrementalScrollBar::CachedScreen() {
  QBackingStore* store = backingStore();
  if (store == nullptr || underMouse() || isSliderDown() || repeatAction() != SliderNoAction ||
      QGuiApplication::mouseButtons() != Qt::NoButton) {
    return nullptr;
  }
  // During a paint for the screen, painting goes to the window's backing store
  // (grab() and render() send it elsewhere: those always paint afresh).
  QPaintDevice* device = store->paintDevice();
  if (device == nullptr || device->devType() != QInternal::Image || redirected(nullptr) != device) {
    return nullptr;
  }
  return static_cast<const QImage*>(device);
}

void IncrementalScrollBar::Refresh(const QImage& screen) {
  const Look now = Now();
  const qreal ratio = devicePixelRatioF();
  const QSize pixels = (QSizeF(size()) * ratio).toSize();
  if (!kept_look_ || !now.SameBut(*kept_look_) || kept_.size() != pixels ||
      kept_.format() != screen.format() || kept_.devicePixelRatio() != ratio) {
    kept_ = QImage(pixels, screen.format());
    kept_.setDevicePixelRatio(ratio);
    PaintKept(rect());
  } else if (now.slider != kept_look_->slider) {
    PaintKept(Stretch(now.slider, kept_look_->slider));
  }
  kept_look_ = now;
}

void IncrementalScrollBar::PaintKept(const QRect& part) {
  if (scratch_.size() != kept_.size() || scratch_.format() != kept_.format()) {
    scratch_ = QImage(kept_.size(), kept_.format());
    scratch_.setDevicePixelRatio(kept_.devicePixelRatio());
  }
  const qreal ratio = kept_.devicePixelRatio();
  QPainter kept(&kept_);
  kept.setCompositionMode(QPainter::CompositionMode_Source);
  ForEachPiece(part & rect(), orientation(), PieceLength(), [&](const QRect& piece) {
    PaintScratch(piece);
    kept.drawImage(piece, scratch_,
                   QRectF(QPointF(piece.topLeft()) * ratio, QSizeF(piece.size()) * ratio));
  });
}

// As QScrollBar paints itself when no part of it is hovered or pressed, in
// scratch_ at the same place, clipped to `piece` and a margin along the bar.
// Only the piece is taken from there: a style may replace the painter's clip
// (Fusion does, for the groove's edge), and lines cut by a clip may end a
// pixel apart from whole ones.
void IncrementalScrollBar::PaintScratch(const QRect& piece) {
  const int margin = MarginLength();
  const QRect area = (orientation() == Qt::Vertical ? piece.adjusted(0, -margin, 0, margin)
                                                    : piece.adjusted(-margin, 0, margin, 0)) &
                     rect();
  QPainter painter(&scratch_);
  painter.setClipRect(area);
  painter.setPen(QPen(palette().brush(foregroundRole()), 1));
  painter.setBackground(palette().brush(backgroundRole()));
  painter.setFont(QFont(font(), this));
  // What a style leaves unpainted shows the window's background, as it would
  // over the list.
  painter.fillRect(area, palette().window());
  QStyleOptionSlider option;
  initStyleOption(&option);
  option.subControls = QStyle::SC_All;
  style()->drawComplexControl(QStyle::CC_ScrollBar, &option, &painter, this);
}

void IncrementalScrollBar::paintEvent(QPaintEvent* event) {
  if (const QImage* screen = CachedScreen()) {
    Refresh(*screen);
    QPainter painter(this);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    const qreal ratio = kept_.devicePixelRatio();
    for (const QRect& rect : event->region()) {
      ForEachPiece(rect, orientation(), PieceLength(), [&](const QRect& piece) {
        painter.drawImage(piece, kept_,
                          QRectF(QPointF(piece.topLeft()) * ratio, QSizeF(piece.size()) * ratio));
      });
    }
  } else {
    {
      QPainter painter(this);
      painter.fillRect(event->rect(), palette().window());
    }
    QScrollBar::paintEvent(event);
  }
  // What the event left out shows the same as now: every change since the
  // last paint asked for the stretches where they differ.
  shown_ = Now();
}

}  // namespace ps::app
