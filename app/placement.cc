#include "app/placement.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace ps::app {
namespace {

// The start of a span of `length` placed at `wanted` within [low, low + room).
int Fit(int wanted, int length, int low, int room) {
  if (length >= room) return low;
  if (wanted < low) return low;
  if (wanted + length > low + room) return low + room - length;
  return wanted;
}

}  // namespace

QPoint FramePosition(const QRect& available, const QSize& client, const QMargins& frame,
                     const QPoint& design) {
  const int width = frame.left() + client.width() + frame.right();
  const int height = frame.top() + client.height() + frame.bottom();
  return {Fit(design.x(), width, available.left(), available.width()),
          Fit(design.y(), height, available.top(), available.height())};
}

void PlaceOnScreen(QWidget& window, const QPoint& design) {
  QScreen* screen = QGuiApplication::screenAt(design);
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  const QRect inside = window.geometry();
  const QRect outside = window.frameGeometry();
  QMargins frame = kAssumedFrame;
  if (window.isVisible() && outside != inside) {
    frame = QMargins(inside.left() - outside.left(), inside.top() - outside.top(),
                     outside.right() - inside.right(), outside.bottom() - inside.bottom());
  }
  // move() places the frame's corner for a top-level window.
  window.move(FramePosition(screen->availableGeometry(), inside.size(), frame, design));
}

}  // namespace ps::app
