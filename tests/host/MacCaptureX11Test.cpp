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

// The pointer from XFIXES: its shape read once and again only after it changed, its position
// wherever it was put.
TEST(X11Cursor, ShapeReadAgainOnlyAfterAChange_PositionAlways)
{
    XvfbServer server(640, 480);
    ASSERT_TRUE(server.running());
    auto backend = X11DesktopBackend::open(QString::fromStdString(server.name()));
    ASSERT_TRUE(backend);

    const std::optional<DesktopCursor> first = backend->cursor();
    ASSERT_TRUE(first);
    ASSERT_FALSE(first->image.isNull());
    EXPECT_LE(first->image.width(), 64);
    const std::optional<DesktopCursor> still = backend->cursor();
    ASSERT_TRUE(still);
    EXPECT_TRUE(still->image.isNull()) << "the same shape is not read again";
    EXPECT_EQ(still->shape, first->shape);

    backend->warpPointer(QPointF(100, 200));
    const std::optional<DesktopCursor> moved = backend->cursor();
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->position, QPointF(100, 200));

    // Another client gives the screen another pointer.
    Display *display = XOpenDisplay(server.name().c_str());
    ASSERT_NE(display, nullptr);
    constexpr unsigned int crosshair = 34; // XC_crosshair
    const Cursor cross = XCreateFontCursor(display, crosshair);
    XDefineCursor(display, DefaultRootWindow(display), cross);
    XSync(display, False);
    std::optional<DesktopCursor> changed;
    for (int tries = 0; tries < 100; ++tries) {
        changed = backend->cursor();
        if (changed && !changed->image.isNull())
            break;
        XSync(display, False);
    }
    XFreeCursor(display, cross);
    XCloseDisplay(display);
    ASSERT_TRUE(changed);
    EXPECT_FALSE(changed->image.isNull());
    EXPECT_NE(changed->shape, first->shape);
    EXPECT_EQ(changed->position, QPointF(100, 200));
}
