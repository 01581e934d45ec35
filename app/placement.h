// Where the window goes on the screen. The rule is pure geometry, so it is
// tested over screens the tests never run on.
#pragma once

#include <QMargins>
#include <QPoint>
#include <QRect>
#include <QSize>

class QWidget;

namespace ps::app {

// The top-left corner for a window frame, all in the screen's logical pixels
// (device-independent: a 1366x768 screen at scale 1.25 has 1093x614 of them).
// `client` is the window's inside and `frame` the decoration around it.
//
// Returns `design` when the whole frame lies inside `available` there.
// Otherwise each coordinate moves just as far as needed to bring the frame
// inside; where the frame is wider or taller than `available`, its left or top
// edge goes to that of `available`, so the title bar stays within reach.
QPoint FramePosition(const QRect& available, const QSize& client, const QMargins& frame,
                     const QPoint& design);

// The decoration assumed before the window system reports the real one (it
// does once the window is shown): generous, so that a window placed with it
// still fits once the real frame is known.
inline constexpr QMargins kAssumedFrame{8, 40, 8, 8};

// Moves the top-level `window` by FramePosition within the available area of
// the screen that holds `design` (the primary screen if none does), with its
// real frame when the window system reports one, else kAssumedFrame.
void PlaceOnScreen(QWidget& window, const QPoint& design);

}  // namespace ps::app
