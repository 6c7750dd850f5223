#include "DisplayGeometry.h"
#include "RecordingDesktop.h"

#include <gtest/gtest.h>

TEST(DisplayGeometry, TakesSizeAndCorner_FromMainDisplayBounds)
{
    RecordingDesktop desktop;
    desktop.bounds = QRectF(-1920, 120, 1920, 1080);
    EXPECT_EQ(DisplayGeometry::ofMainDisplay(desktop), (DisplayGeometry{1920, 1080, -1920, 120}));
}
