// Pictures of a real X screen (a private Xvfb) through the X11 backend.
#include "JpegTestImage.h"
#include "MacCapture.h"
#include "X11DesktopBackend.h"
#include "XvfbServer.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include <X11/Xlib.h>

namespace {

using namespace JpegTestImage;

// Paints the quadrant colours straight onto the root window (there is no window manager).
void paintQuadrants(const std::string &displayName)
{
    Display *display = XOpenDisplay(displayName.c_str());
    ASSERT_NE(display, nullptr);
    const int screen = DefaultScreen(display);
    const Window root = RootWindow(display, screen);
    const int width = DisplayWidth(display, screen);
    const int height = DisplayHeight(display, screen);
    GC gc = XCreateGC(display, root, 0, nullptr);
    for (int i = 0; i < 4; ++i) {
        const Rgb &c = quadrantColours[static_cast<std::size_t>(i)];
        XSetForeground(display, gc, static_cast<unsigned long>(c.r << 16 | c.g << 8 | c.b));
        const int x = i % 2 ? width / 2 : 0;
        const int y = i / 2 ? height / 2 : 0;
        XFillRectangle(display, root, gc, x, y, static_cast<unsigned>(i % 2 ? width - width / 2 : width / 2),
                       static_cast<unsigned>(i / 2 ? height - height / 2 : height / 2));
    }
    XFreeGC(display, gc);
    XSync(display, False);
    XCloseDisplay(display);
}

struct ScreenCase
{
    const char *name;
    int width;
    int height;
    int expectedWidth;
    int expectedHeight;
};

void PrintTo(const ScreenCase &row, std::ostream *out)
{
    *out << row.name;
}

class MacCaptureX11 : public ::testing::TestWithParam<ScreenCase>
{};

TEST_P(MacCaptureX11, PictureOfScreenHasTargetSizeAndColours_ForScreenSize)
{
    const ScreenCase &c = GetParam();
    XvfbServer server(c.width, c.height);
    ASSERT_TRUE(server.running());
    paintQuadrants(server.name());
    auto backend = X11DesktopBackend::open(QString::fromStdString(server.name()));
    ASSERT_TRUE(backend);

    const std::optional<SessionPicture> picture = JpegTestImage::sessionPicture(*backend);

    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->size, QSize(c.expectedWidth, c.expectedHeight));
    expectQuadrants(picture->jpeg, c.expectedWidth, c.expectedHeight);
}

INSTANTIATE_TEST_SUITE_P(Screens, MacCaptureX11,
                         ::testing::Values(ScreenCase{"Retina", 2880, 1800, 1280, 800},
                                           ScreenCase{"SlightlyWider", 1300, 800, 1300, 800},
                                           ScreenCase{"UltraWide", 5120, 1440, 1280, 400}),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
