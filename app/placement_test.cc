#include "app/placement.h"

#include <gtest/gtest.h>

#include <cmath>

namespace ps::app {
namespace {

constexpr QSize kClient(437, 533);
constexpr QPoint kDesign(152, 117);
constexpr QMargins kFrame(4, 30, 4, 4);  // a common title bar and border

struct Screen {
  const char* name;
  int width, height;  // physical pixels
  double scale;
  QMargins panels;  // logical pixels the desktop's panels keep
  QPoint expected;
};

// The available area of a screen as Qt reports it: logical pixels, panels out.
QRect Available(const Screen& s, QPoint origin = {}) {
  const QSize logical(static_cast<int>(std::floor(s.width / s.scale)),
                      static_cast<int>(std::floor(s.height / s.scale)));
  return QRect(origin, logical).marginsRemoved(s.panels);
}

TEST(PlacementTest, DesignPositionWhereTheWholeFrameFitsElseTheNearestThatFits) {
  // The frame is 445 x 567: at the design position it reaches (597, 684).
  const Screen screens[] = {
      {"full HD", 1920, 1080, 1.0, {0, 32, 0, 0}, kDesign},
      {"4K at 2", 3840, 2160, 2.0, {0, 27, 0, 0}, kDesign},
      {"1366x768", 1366, 768, 1.0, {0, 0, 0, 32}, kDesign},
      {"1366x768 at 1.25, panel below", 1366, 768, 1.25, {0, 0, 0, 32}, {152, 582 - 567}},
      {"1366x768 at 1.25, bar above", 1366, 768, 1.25, {0, 27, 0, 0}, {152, 614 - 567}},
      {"800x600", 800, 600, 1.0, {}, {152, 600 - 567}},
      {"exactly tall enough", 800, 684, 1.0, {}, kDesign},
      {"one pixel short", 800, 683, 1.0, {}, {152, 116}},
      // Taller than the screen: the title bar stays on it.
      {"1280x720 at 1.5", 1280, 720, 1.5, {0, 0, 0, 0}, {152, 0}},
      {"1280x720 at 1.5, bar above", 1280, 720, 1.5, {0, 24, 0, 0}, {152, 24}},
      {"narrow portrait", 540, 960, 1.0, {48, 0, 0, 0}, {540 - 445, 117}},
      {"narrower than the frame", 400, 960, 1.0, {16, 0, 0, 0}, {16, 117}},
  };
  for (const Screen& s : screens) {
    SCOPED_TRACE(s.name);
    const QRect available = Available(s);
    const QPoint at = FramePosition(available, kClient, kFrame, kDesign);
    EXPECT_EQ(at, s.expected);
    const QRect frame(at, kClient.grownBy(kFrame));
    if (frame.width() <= available.width() && frame.height() <= available.height()) {
      EXPECT_TRUE(available.contains(frame)) << "frame left the available area";
    }
    EXPECT_TRUE(available.contains(frame.topLeft())) << "title bar out of reach";
  }
}

TEST(PlacementTest, ScreensBesideTheFirstKeepTheirOrigin) {
  // A second screen right of a 1920-pixel one: the window moves onto it.
  const Screen right{"right", 1366, 768, 1.25, {0, 0, 0, 32}, {}};
  EXPECT_EQ(FramePosition(Available(right, {1920, 0}), kClient, kFrame, kDesign),
            QPoint(1920, 582 - 567));
  // A screen above the first, at negative coordinates.
  const Screen above{"above", 1920, 1080, 1.0, {}, {}};
  EXPECT_EQ(FramePosition(Available(above, {0, -1080}), kClient, kFrame, kDesign),
            QPoint(152, -567));
}

TEST(PlacementTest, NoFrameYetAssumesAGenerousOne) {
  // Whatever the real decoration, a window that fits with the assumed one fits.
  const QRect available(0, 0, 1093, 582);
  const QPoint at = FramePosition(available, kClient, kAssumedFrame, kDesign);
  EXPECT_TRUE(available.contains(QRect(at, kClient.grownBy(kAssumedFrame))));
  EXPECT_EQ(FramePosition(QRect(0, 0, 1920, 1050), kClient, kAssumedFrame, kDesign), kDesign);
}

}  // namespace
}  // namespace ps::app
