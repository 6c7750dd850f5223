// The X11 backend against a private Xvfb: what it captures, and what a client window receives
// from the input it injects.
#include "ProbeClient.h"
#include "WaitUntil.h"
#include "X11DesktopBackend.h"
#include "XvfbServer.h"

#include <QTemporaryDir>

#include <QStringList>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <limits>
#include <memory>
#include <ostream>
#include <thread>
#include <utility>
#include <vector>

#include <array>
#include <atomic>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/XKBlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace {

constexpr int screenWidth = 1024;
constexpr int screenHeight = 768;

// The test window: four coloured quadrants at a known place on the screen.
constexpr int windowX = 100;
constexpr int windowY = 60;
constexpr int windowWidth = 400;
constexpr int windowHeight = 300;
constexpr unsigned long quadrantColours[4] = {0xdc1e1e, 0x1ec81e, 0x1e1edc, 0xe6c81e};

std::uint32_t pixelAt(const ScreenImage &image, int x, int y)
{
    const std::uint8_t *p = image.pixels + static_cast<std::size_t>(y) * image.stride + x * 4;
    return static_cast<std::uint32_t>(p[2] << 16 | p[1] << 8 | p[0]);
}

// Keysyms as the receiving window sees them, back to the characters they type.
char32_t codePointOf(KeySym keysym)
{
    if ((keysym >= 0x20 && keysym <= 0x7e) || (keysym >= 0xa0 && keysym <= 0xff))
        return static_cast<char32_t>(keysym);
    if (keysym >= 0x01000100 && keysym <= 0x0110ffff)
        return static_cast<char32_t>(keysym - 0x01000000);
    if (keysym == XK_Return)
        return U'\n';
    if (keysym == XK_Tab)
        return U'\t';
    return 0;
}

class X11DesktopBackendTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { server = std::make_unique<XvfbServer>(screenWidth, screenHeight); }
    static void TearDownTestSuite() { server.reset(); }

    void SetUp() override
    {
        ASSERT_TRUE(server->running());
        // The window reads keys through the core keymap, which it reloads on every
        // MappingNotify. (Xlib's own XKB cache has been seen to miss keycodes remapped while it
        // is loaded; toolkits reload the whole XKB keymap instead.)
        XkbIgnoreExtension(True);
        display = XOpenDisplay(server->name().c_str());
        XkbIgnoreExtension(False);
        ASSERT_NE(display, nullptr);
        openWindow();
        backend = X11DesktopBackend::open(QString::fromStdString(server->name()));
        ASSERT_TRUE(backend);
    }

    void TearDown() override
    {
        backend.reset();
        if (display) {
            if (window)
                XDestroyWindow(display, window);
            XCloseDisplay(display);
        }
    }

    void openWindow()
    {
        const int screen = DefaultScreen(display);
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        attributes.background_pixel = BlackPixel(display, screen);
        attributes.event_mask = ExposureMask | StructureNotifyMask | ButtonPressMask | ButtonReleaseMask
            | PointerMotionMask | KeyPressMask | KeyReleaseMask;
        window = XCreateWindow(display, RootWindow(display, screen), windowX, windowY, windowWidth, windowHeight, 0,
                               CopyFromParent, InputOutput, CopyFromParent,
                               CWOverrideRedirect | CWBackPixel | CWEventMask, &attributes);
        XMapRaised(display, window);
        bool mapped = false;
        bool exposed = false;
        collect([&](const XEvent &event) {
            mapped = mapped || event.type == MapNotify;
            exposed = exposed || event.type == Expose;
            return mapped && exposed;
        });
        ASSERT_TRUE(mapped && exposed);
        paint(quadrantColours);
        XSetInputFocus(display, window, RevertToParent, CurrentTime);
        XSync(display, False);
    }

    void paint(const unsigned long (&colours)[4])
    {
        GC gc = XCreateGC(display, window, 0, nullptr);
        for (int i = 0; i < 4; ++i) {
            XSetForeground(display, gc, colours[i]);
            XFillRectangle(display, window, gc, i % 2 ? windowWidth / 2 : 0, i / 2 ? windowHeight / 2 : 0,
                           windowWidth / 2, windowHeight / 2);
        }
        XFreeGC(display, gc);
        XSync(display, False);
    }

    // Reads the window's events until `done` says so or three seconds pass. Keymap changes are
    // taken into account on the way, as any well-behaved client does.
    std::vector<XEvent> collect(const std::function<bool(const XEvent &)> &done)
    {
        std::vector<XEvent> events;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (std::chrono::steady_clock::now() < deadline) {
            while (XPending(display) > 0) {
                XEvent event;
                XNextEvent(display, &event);
                if (event.type == MappingNotify) {
                    XRefreshKeyboardMapping(&event.xmapping);
                    continue;
                }
                events.push_back(event);
                if (done(event))
                    return events;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return events;
    }

    // Everything the server has queued for us by now.
    std::vector<XEvent> drain()
    {
        XSync(display, False);
        std::vector<XEvent> events;
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == MappingNotify)
                XRefreshKeyboardMapping(&event.xmapping);
            else
                events.push_back(event);
        }
        return events;
    }

    std::vector<XEvent> collectCount(int type, int count)
    {
        int seen = 0;
        return collect([&](const XEvent &event) { return event.type == type && ++seen == count; });
    }

    QPoint pointer()
    {
        Window rootReturn = 0;
        Window child = 0;
        int x = 0;
        int y = 0;
        int wx = 0;
        int wy = 0;
        unsigned int mask = 0;
        XQueryPointer(display, DefaultRootWindow(display), &rootReturn, &child, &x, &y, &wx, &wy, &mask);
        return {x, y};
    }

    // Waits until the server has placed the pointer (the backend uses its own connection).
    QPoint pointerAfterMove(QPoint expected)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        QPoint now = pointer();
        while (now != expected && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            now = pointer();
        }
        return now;
    }

    static std::unique_ptr<XvfbServer> server;
    Display *display = nullptr;
    Window window = 0;
    std::unique_ptr<X11DesktopBackend> backend;
};

std::unique_ptr<XvfbServer> X11DesktopBackendTest::server;

TEST(X11DesktopBackend, OpenGivesNothing_WhenNoServerListens)
{
    EXPECT_EQ(X11DesktopBackend::open(QStringLiteral(":3917")), nullptr);
}

TEST_F(X11DesktopBackendTest, MainDisplayIsWholeScreen_WithSingleOutput)
{
    EXPECT_EQ(backend->mainDisplayBounds(), QRectF(0, 0, screenWidth, screenHeight));
}

class X11DesktopBackendCapture : public X11DesktopBackendTest, public ::testing::WithParamInterface<bool>
{};

TEST_P(X11DesktopBackendCapture, ImageShowsWindowInPlace_WithAndWithoutSharedMemory)
{
    const bool sharedMemory = GetParam();
    backend = X11DesktopBackend::open(QString::fromStdString(server->name()), {sharedMemory});
    ASSERT_TRUE(backend);

    const std::optional<ScreenImage> image = backend->captureMainDisplay();

    ASSERT_TRUE(image);
    EXPECT_EQ(backend->usesSharedMemory(), sharedMemory);
    EXPECT_EQ(image->width, screenWidth);
    EXPECT_EQ(image->height, screenHeight);
    EXPECT_GE(image->stride, screenWidth * 4);
    for (int i = 0; i < 4; ++i) {
        const int x = windowX + (i % 2 ? 3 : 1) * windowWidth / 4;
        const int y = windowY + (i / 2 ? 3 : 1) * windowHeight / 4;
        EXPECT_EQ(pixelAt(*image, x, y), quadrantColours[i]) << "quadrant " << i;
    }
    // The window's corners sit exactly where it was placed.
    EXPECT_EQ(pixelAt(*image, windowX, windowY), quadrantColours[0]);
    EXPECT_NE(pixelAt(*image, windowX - 1, windowY - 1), quadrantColours[0]);
    EXPECT_EQ(pixelAt(*image, windowX + windowWidth - 1, windowY + windowHeight - 1), quadrantColours[3]);
    EXPECT_NE(pixelAt(*image, windowX + windowWidth, windowY + windowHeight), quadrantColours[3]);
}

INSTANTIATE_TEST_SUITE_P(Paths, X11DesktopBackendCapture, ::testing::Values(true, false),
                         [](const auto &info) { return std::string(info.param ? "SharedMemory" : "GetImage"); });

TEST_F(X11DesktopBackendTest, HeldImageKeepsItsPixels_WhenScreenChanges)
{
    const QPoint probe(windowX + 10, windowY + 10);
    std::optional<ScreenImage> first = backend->captureMainDisplay();
    ASSERT_TRUE(first);
    paint({0xffffff, 0xffffff, 0xffffff, 0xffffff});

    const std::optional<ScreenImage> second = backend->captureMainDisplay();
    ASSERT_TRUE(second);
    EXPECT_EQ(pixelAt(*first, probe.x(), probe.y()), quadrantColours[0]);
    EXPECT_EQ(pixelAt(*second, probe.x(), probe.y()), 0xffffffu);

    // Released images make room for reuse; the picture still follows the screen.
    first.reset();
    paint(quadrantColours);
    const std::optional<ScreenImage> third = backend->captureMainDisplay();
    ASSERT_TRUE(third);
    EXPECT_EQ(pixelAt(*third, probe.x(), probe.y()), quadrantColours[0]);
    EXPECT_EQ(pixelAt(*second, probe.x(), probe.y()), 0xffffffu);
}

// A screen nobody draws on needs no capture; any drawing since the last capture is reported.
TEST_F(X11DesktopBackendTest, MayHaveChanged_OnlyWhenDrawnSinceTheLastCapture)
{
    const auto reported = [&](bool expected) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (backend->mainDisplayMayHaveChanged() != expected && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return backend->mainDisplayMayHaveChanged() == expected;
    };
    EXPECT_TRUE(backend->mainDisplayMayHaveChanged()); // nothing captured yet
    ASSERT_TRUE(backend->captureMainDisplay());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(backend->mainDisplayMayHaveChanged());

    paint({0xffffff, 0xffffff, 0xffffff, 0xffffff});
    EXPECT_TRUE(reported(true));
    ASSERT_TRUE(backend->captureMainDisplay());
    EXPECT_FALSE(backend->mainDisplayMayHaveChanged());

    // Drawing while the backend is not looking is still reported at the next question.
    paint(quadrantColours);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(backend->mainDisplayMayHaveChanged());
}

struct PointerCase
{
    const char *name;
    QPointF asked;
    QPoint expected;
};

void PrintTo(const PointerCase &row, std::ostream *out)
{
    *out << row.name;
}

class X11DesktopBackendPointer : public X11DesktopBackendTest, public ::testing::WithParamInterface<PointerCase>
{};

TEST_P(X11DesktopBackendPointer, PointerGoesToPoint_WhenWarped)
{
    backend->warpPointer(GetParam().asked);
    EXPECT_EQ(pointerAfterMove(GetParam().expected), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Points, X11DesktopBackendPointer,
    ::testing::Values(PointerCase{"Inside", {300.4, 200.6}, {300, 201}},
                      PointerCase{"BottomRightPixel", {1023, 767}, {1023, 767}},
                      PointerCase{"BeyondScreen", {5000, -20}, {1023, 0}},
                      PointerCase{"Huge", {1e300, -1e300}, {1023, 0}},
                      PointerCase{"NotANumber", {std::numeric_limits<double>::quiet_NaN(), 10}, {0, 10}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(X11DesktopBackendTest, ClicksAndDragReachWindow_AtTheirPoints)
{
    using Mouse = DesktopBackend::MouseEvent;
    backend->postMouse(Mouse::LeftDown, {150, 100}, 1);
    backend->postMouse(Mouse::LeftDragged, {200, 120}, 1);
    backend->postMouse(Mouse::LeftUp, {200, 120}, 1);
    backend->postMouse(Mouse::RightDown, {250, 130}, 2);
    backend->postMouse(Mouse::RightUp, {250, 130}, 2);

    std::vector<XEvent> events = collectCount(ButtonRelease, 2);
    std::vector<QString> seen;
    for (const XEvent &event : events) {
        if (event.type == ButtonPress || event.type == ButtonRelease) {
            seen.push_back(QStringLiteral("%1 %2 at %3,%4")
                               .arg(event.type == ButtonPress ? "press" : "release")
                               .arg(event.xbutton.button)
                               .arg(event.xbutton.x)
                               .arg(event.xbutton.y));
        } else if (event.type == MotionNotify && event.xmotion.state & Button1Mask) {
            // Placing the pointer where it already is may repeat a motion event; that is harmless.
            const QString drag = QStringLiteral("drag to %1,%2").arg(event.xmotion.x).arg(event.xmotion.y);
            if (seen.empty() || seen.back() != drag)
                seen.push_back(drag);
        }
    }
    EXPECT_EQ(seen, (std::vector<QString>{"press 1 at 50,40", "drag to 100,60", "release 1 at 100,60",
                                          "press 3 at 150,70", "release 3 at 150,70"}));
}

// A sequence of wheel events as the viewer sends them, and the wheel clicks the window must
// get: one per 40 pixels over the sequence, whatever the size of each event.
struct ScrollCase
{
    const char *name;
    std::vector<std::int32_t> deltas;
    unsigned int button;
    int clicks;
    // Off where the pixels sent do not make the clicks: capped at 25 per event, or less than a
    // click, carried for later.
    bool followsPixels = true;
};

void PrintTo(const ScrollCase &row, std::ostream *out)
{
    *out << row.name;
}

std::vector<std::int32_t> repeated(std::int32_t delta, int count)
{
    return std::vector<std::int32_t>(static_cast<std::size_t>(count), delta);
}

class X11DesktopBackendScroll : public X11DesktopBackendTest, public ::testing::WithParamInterface<ScrollCase>
{};

TEST_P(X11DesktopBackendScroll, WheelClicksFollowThePixelsAndPointerStays_ForSequence)
{
    const ScrollCase &c = GetParam();
    backend->warpPointer({10, 10}); // outside the window
    ASSERT_EQ(pointerAfterMove({10, 10}), QPoint(10, 10));

    for (const std::int32_t delta : c.deltas)
        backend->postScroll({windowX + 50, windowY + 50}, delta);
    std::vector<XEvent> events;
    if (c.clicks > 0) {
        events = collectCount(ButtonRelease, c.clicks);
        // The pointer visited the window for the clicks (their coordinates show it) and is back.
        EXPECT_EQ(pointerAfterMove({10, 10}), QPoint(10, 10));
    }
    backend->warpPointer({11, 11}); // a marker: everything before it has been handled
    ASSERT_EQ(pointerAfterMove({11, 11}), QPoint(11, 11));
    for (const XEvent &event : drain())
        events.push_back(event);

    int clicks = 0;
    for (const XEvent &event : events) {
        if (event.type == ButtonPress) {
            EXPECT_EQ(event.xbutton.button, c.button);
            EXPECT_EQ(QPoint(event.xbutton.x, event.xbutton.y), QPoint(50, 50));
            ++clicks;
        }
    }
    EXPECT_EQ(clicks, c.clicks);
    double pixels = 0;
    for (const std::int32_t delta : c.deltas)
        pixels += std::abs(double(delta));
    if (c.followsPixels)
        EXPECT_NEAR(clicks * DesktopBackend::pixelsPerWheelClick, pixels, pixels * 0.1);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, X11DesktopBackendScroll,
    ::testing::Values(ScrollCase{"FourPixelsTimesHundredDown", repeated(-4, 100), 5, 10},
                      ScrollCase{"FourPixelsTimesTenIsOneClick", repeated(-4, 10), 5, 1},
                      // A viewer that sends 3 pixels per event (as one notch).
                      ScrollCase{"ThreePixelsFourteenTimesIsOneClick", repeated(-3, 14), 5, 1},
                      ScrollCase{"FortyPixelsTimesTenDown", repeated(-40, 10), 5, 10},
                      ScrollCase{"FortyPixelsOnceIsOneClick", {-40}, 5, 1},
                      ScrollCase{"HundredTwentyTimesFiveUp", repeated(120, 5), 4, 15},
                      ScrollCase{"MixedSizesDown", {-4, -4, -40, -120, -4, -4, -40, -120, -4, -4, -4, -4, -4, -4}, 5, 9},
                      ScrollCase{"SmallAloneIsCarriedNotScrolled", {-3}, 5, 0, false},
                      ScrollCase{"HugeIsCapped", {-2000000000}, 5, 25, false},
                      ScrollCase{"ZeroDoesNothing", {0}, 4, 0, false}),
    [](const auto &info) { return std::string(info.param.name); });

bool keyHeld(Display *display, KeySym keysym)
{
    char keys[32];
    XQueryKeymap(display, keys);
    const KeyCode keycode = XKeysymToKeycode(display, keysym);
    return keys[keycode / 8] & (1 << (keycode % 8));
}

// A press is a whole keystroke: X would otherwise repeat the key until its release came, and
// forever when it never does.
TEST_F(X11DesktopBackendTest, NamedKeysTypeOneKeystrokePerPress_ForEveryKey)
{
    const std::vector<std::pair<NamedKey, KeySym>> keys{
        {NamedKey::Enter, XK_Return},     {NamedKey::Backspace, XK_BackSpace}, {NamedKey::Tab, XK_Tab},
        {NamedKey::Escape, XK_Escape},    {NamedKey::ArrowLeft, XK_Left},      {NamedKey::ArrowUp, XK_Up},
        {NamedKey::ArrowRight, XK_Right}, {NamedKey::ArrowDown, XK_Down},      {NamedKey::Delete, XK_Delete},
        {NamedKey::Space, XK_space},      {NamedKey::Home, XK_Home},           {NamedKey::End, XK_End},
        {NamedKey::PageUp, XK_Prior},     {NamedKey::PageDown, XK_Next},       {NamedKey::Insert, XK_Insert},
        {NamedKey::F1, XK_F1},            {NamedKey::F7, XK_F7},               {NamedKey::F12, XK_F12}};
    for (const auto &[key, keysym] : keys) {
        backend->postKey(key, true);
        backend->postKey(key, false);
    }
    backend->postKey(static_cast<NamedKey>(200), true); // no key of the enumeration: nothing
    backend->postKey(NamedKey::Backspace, true); // a press whose release never comes

    std::vector<std::pair<KeySym, int>> seen;
    for (const XEvent &event : collectCount(KeyRelease, static_cast<int>(keys.size()) + 1)) {
        if (event.type == KeyPress || event.type == KeyRelease) {
            XKeyEvent key = event.xkey;
            seen.emplace_back(XLookupKeysym(&key, 0), event.type);
        }
    }
    std::vector<std::pair<KeySym, int>> expected;
    for (const auto &[key, keysym] : keys) {
        expected.emplace_back(keysym, KeyPress);
        expected.emplace_back(keysym, KeyRelease);
    }
    expected.emplace_back(XK_BackSpace, KeyPress);
    expected.emplace_back(XK_BackSpace, KeyRelease);
    EXPECT_EQ(seen, expected);
    EXPECT_FALSE(keyHeld(display, XK_BackSpace));
}

TEST_F(X11DesktopBackendTest, TextArrivesWithEveryKeyReleased_IncludingCharactersMissingFromKeymap)
{
    // The second part reuses characters the first one had to borrow keycodes for. The third,
    // in a script the keymap lacks, needs more keycodes than there are spare: it comes word
    // by word, read as it arrives, as a live client would.
    const QString first = QStringLiteral("Hi, W\u00f6rld! \u00e9\u20ac\u0416");
    const QString second = QStringLiteral("\u0436\u0416 x\u20ac\u00e9\r\n\n");
    const QStringList third{QStringLiteral("\u0421\u044a\u0435\u0448\u044c \u0436\u0435 \u0435\u0449\u0451 "),
                            QStringLiteral("\u044d\u0442\u0438\u0445 \u043c\u044f\u0433\u043a\u0438\u0445 "),
                            QStringLiteral("\u0444\u0440\u0430\u043d\u0446\u0443\u0437\u0441\u043a\u0438\u0445 "),
                            QStringLiteral("\u0431\u0443\u043b\u043e\u043a, \u0434\u0430 \u0432\u044b\u043f\u0435\u0439 "),
                            QStringLiteral("\u0447\u0430\u044e")};

    std::u32string typed;
    int presses = 0;
    int releases = 0;
    const auto readText = [&](const QString &part) {
        const std::size_t wanted = typed.size() + part.toStdU32String().size();
        collect([&](const XEvent &event) {
            if (event.type == KeyPress) {
                ++presses;
                XKeyEvent key = event.xkey;
                char buffer[16];
                KeySym keysym = NoSymbol;
                XLookupString(&key, buffer, sizeof buffer, &keysym, nullptr);
                if (!IsModifierKey(keysym))
                    typed += codePointOf(keysym);
            } else if (event.type == KeyRelease) {
                ++releases;
            }
            return typed.size() >= wanted && presses == releases;
        });
    };
    // The backend stops early while a spare keycode rests; the rest is passed again a little
    // later, as the host's next pass does.
    const auto type = [&](const QString &part) {
        for (qsizetype done = 0; done < part.size();) {
            const qsizetype typed = backend->typeText(part.mid(done));
            done += typed;
            if (typed == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    };
    type(first);
    type(second);
    readText(first + second);
    for (const QString &words : third) {
        type(words);
        readText(words);
    }
    // A Windows line end is typed as one Return.
    const QString text = QString(first + second + third.join(QString())).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    EXPECT_EQ(QString::fromStdU32String(typed).toStdString(), text.toStdString());
    EXPECT_EQ(presses, releases);

    // Closing the backend gives the borrowed keycodes back (asked on a new connection, which
    // has no keymap cached).
    backend.reset();
    Display *fresh = XOpenDisplay(server->name().c_str());
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(XKeysymToKeycode(fresh, 0x01000436), 0); // ж
    EXPECT_EQ(XKeysymToKeycode(fresh, 0x010020ac), 0); // €
    XCloseDisplay(fresh);
}

// "press Control_L", "release c", ... for the key events among `events`; presses of other
// keys also say which modifiers the window saw held ("press Tab with shift+control+mod1+mod4").
QStringList keyLines(const std::vector<XEvent> &events)
{
    QStringList lines;
    for (const XEvent &event : events) {
        if (event.type != KeyPress && event.type != KeyRelease)
            continue;
        XKeyEvent key = event.xkey;
        const KeySym keysym = XLookupKeysym(&key, 0);
        QString line = QStringLiteral("%1 %2").arg(event.type == KeyPress ? "press" : "release", XKeysymToString(keysym));
        if (event.type == KeyPress && !IsModifierKey(keysym)) {
            QStringList held;
            for (const auto &[mask, name] : {std::pair{ShiftMask, "shift"}, std::pair{ControlMask, "control"},
                                             std::pair{Mod1Mask, "mod1"}, std::pair{Mod4Mask, "mod4"}}) {
                if (event.xkey.state & mask)
                    held << QString::fromLatin1(name);
            }
            if (!held.isEmpty())
                line += QStringLiteral(" with ") + held.join(u'+');
        }
        lines << line;
    }
    return lines;
}

// A shortcut as the host makes it: modifiers down in order, the key, modifiers up in reverse.
TEST_F(X11DesktopBackendTest, HeldModifiersWrapTheKeyAndGoUpInReverse)
{
    backend->holdModifiers({KeyModifier::Meta, KeyModifier::Alt, KeyModifier::Control, KeyModifier::Shift});
    backend->postKey(NamedKey::Tab, true);
    backend->holdModifiers({});
    backend->holdModifiers({KeyModifier::Control});
    EXPECT_EQ(backend->typeText(QStringLiteral("c")), 1);
    backend->holdModifiers({});

    const QStringList lines = keyLines(collectCount(KeyRelease, 8));
    EXPECT_EQ(lines, (QStringList{"press Shift_L", "press Control_L", "press Alt_L", "press Super_L",
                                  "press Tab with shift+control+mod1+mod4", "release Tab", "release Super_L",
                                  "release Alt_L", "release Control_L", "release Shift_L", "press Control_L",
                                  "press c with control", "release c", "release Control_L"}));
    EXPECT_FALSE(keyHeld(display, XK_Control_L));
}

// Text comes out as sent whatever this computer's keyboard is doing: Caps Lock on, Shift held
// (here by another program); both are as they were afterwards.
TEST_F(X11DesktopBackendTest, TextIgnoresCapsLockAndModifiersHeldByOthers)
{
    Display *local = XOpenDisplay(server->name().c_str());
    ASSERT_NE(local, nullptr);
    XkbLockModifiers(local, XkbUseCoreKbd, LockMask, LockMask);
    XTestFakeKeyEvent(local, XKeysymToKeycode(local, XK_Shift_L), True, CurrentTime);
    XSync(local, False);
    drain();

    const QString text = QStringLiteral("aB1;x");
    EXPECT_EQ(backend->typeText(text), text.size());
    std::u32string typed;
    collect([&](const XEvent &event) {
        if (event.type == KeyPress) {
            XKeyEvent key = event.xkey;
            char buffer[16];
            KeySym keysym = NoSymbol;
            XLookupString(&key, buffer, sizeof buffer, &keysym, nullptr);
            if (!IsModifierKey(keysym))
                typed += codePointOf(keysym);
        }
        return typed.size() == 5;
    });
    EXPECT_EQ(QString::fromStdU32String(typed), text);

    XSync(local, False);
    XkbStateRec state;
    ASSERT_EQ(XkbGetState(local, XkbUseCoreKbd, &state), Success);
    EXPECT_TRUE(state.locked_mods & LockMask);
    EXPECT_TRUE(keyHeld(local, XK_Shift_L));
    XTestFakeKeyEvent(local, XKeysymToKeycode(local, XK_Shift_L), False, CurrentTime);
    XkbLockModifiers(local, XkbUseCoreKbd, LockMask, 0);
    XCloseDisplay(local);
}

// A window manager that focuses a window on click, slowly: it holds the click (a synchronous
// grab on the root window) for a while, focuses the window, then lets the click through.
class SlowFocusingWindowManager
{
public:
    static constexpr std::chrono::milliseconds delay{60};

    explicit SlowFocusingWindowManager(const std::string &displayName)
        : m_display(XOpenDisplay(displayName.c_str()))
    {
        const Window root = DefaultRootWindow(m_display);
        // Announced as desktop window managers announce themselves.
        m_check = XCreateSimpleWindow(m_display, root, 0, 0, 1, 1, 0, 0, 0);
        XChangeProperty(m_display, root, XInternAtom(m_display, "_NET_SUPPORTING_WM_CHECK", False), XA_WINDOW, 32,
                        PropModeReplace, reinterpret_cast<unsigned char *>(&m_check), 1);
        XGrabButton(m_display, AnyButton, AnyModifier, root, True, ButtonPressMask, GrabModeSync, GrabModeAsync, None,
                    None);
        XSync(m_display, False);
        m_thread = std::thread([this] { run(); });
    }

    ~SlowFocusingWindowManager()
    {
        m_stop = true;
        m_thread.join();
        const Window root = DefaultRootWindow(m_display);
        XUngrabButton(m_display, AnyButton, AnyModifier, root);
        XDeleteProperty(m_display, root, XInternAtom(m_display, "_NET_SUPPORTING_WM_CHECK", False));
        XDestroyWindow(m_display, m_check);
        XCloseDisplay(m_display);
    }

private:
    void run()
    {
        while (!m_stop) {
            while (XPending(m_display) > 0) {
                XEvent event;
                XNextEvent(m_display, &event);
                if (event.type != ButtonPress)
                    continue;
                std::this_thread::sleep_for(delay);
                if (event.xbutton.subwindow)
                    XSetInputFocus(m_display, event.xbutton.subwindow, RevertToParent, CurrentTime);
                XAllowEvents(m_display, ReplayPointer, CurrentTime);
                XFlush(m_display);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    Display *m_display;
    Window m_check = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Text sent right behind a click, as it arrives in one poll answer, goes to the clicked window
// and not to the one the window manager has not yet taken the focus from.
TEST_F(X11DesktopBackendTest, KeysAfterAClickWaitForTheClickedWindowsFocus)
{
    const int screen = DefaultScreen(display);
    std::array<Window, 2> windows{};
    for (std::size_t i = 0; i < windows.size(); ++i) {
        windows[i] = XCreateSimpleWindow(display, RootWindow(display, screen), 560 + int(i) * 220, 60, 200, 200, 0, 0,
                                         WhitePixel(display, screen));
        XSelectInput(display, windows[i], KeyPressMask | KeyReleaseMask | StructureNotifyMask);
        XMapWindow(display, windows[i]);
    }
    int mapped = 0;
    collect([&](const XEvent &event) { return event.type == MapNotify && ++mapped == 2; });
    XSetInputFocus(display, windows[0], RevertToParent, CurrentTime);
    XSync(display, False);
    {
        const SlowFocusingWindowManager manager(server->name());
        backend->postMouse(DesktopBackend::MouseEvent::LeftDown, {780 + 100, 160}, 1);
        backend->postMouse(DesktopBackend::MouseEvent::LeftUp, {780 + 100, 160}, 1);
        EXPECT_EQ(backend->typeText(QStringLiteral("B2")), 2);
        std::vector<Window> receivers;
        for (const XEvent &event : collectCount(KeyRelease, 3)) {
            if (event.type == KeyPress)
                receivers.push_back(event.xkey.window);
        }
        EXPECT_EQ(receivers, (std::vector<Window>(3, windows[1]))) << "the keys went to the window the click left";
    }
    for (const Window window : windows)
        XDestroyWindow(display, window);
    XSync(display, False);
}

// A double click whose two clicks reach the host in different polls, as far apart as the polls
// happen to be, into a real Qt line of words: the word is selected, not the whole line (a
// triple click) and not nothing (two single clicks).
struct DoubleClickCase
{
    const char *name;
    std::chrono::milliseconds gap;
};

void PrintTo(const DoubleClickCase &row, std::ostream *out)
{
    *out << row.name;
}

class X11DoubleClick : public ::testing::TestWithParam<DoubleClickCase>
{
protected:
    static void SetUpTestSuite()
    {
        server = std::make_unique<XvfbServer>(screenWidth, screenHeight);
        dir = std::make_unique<QTemporaryDir>();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), QString::fromStdString(server->name()));
        probe = std::make_unique<ProbeClient>(environment, dir->filePath(QStringLiteral("probe.state")));
    }
    static void TearDownTestSuite()
    {
        probe.reset();
        dir.reset();
        server.reset();
    }

    static std::unique_ptr<XvfbServer> server;
    static std::unique_ptr<QTemporaryDir> dir;
    static std::unique_ptr<ProbeClient> probe;
};

std::unique_ptr<XvfbServer> X11DoubleClick::server;
std::unique_ptr<QTemporaryDir> X11DoubleClick::dir;
std::unique_ptr<ProbeClient> X11DoubleClick::probe;

TEST_P(X11DoubleClick, WordSelected_WhateverTheGapBetweenTheClicks)
{
    ASSERT_TRUE(server->running());
    ASSERT_TRUE(probe->waitReady());
    auto backend = X11DesktopBackend::open(QString::fromStdString(server->name()));
    ASSERT_TRUE(backend);
    using Mouse = DesktopBackend::MouseEvent;
    // A click in the field first: no selection, and nothing for the double click to pair with.
    const QPointF field = QRectF(probe->rect(QStringLiteral("field"))).center();
    backend->postMouse(Mouse::LeftDown, field, 1);
    backend->postMouse(Mouse::LeftUp, field, 1);
    ASSERT_TRUE(waitUntil([&] { return probe->selected().isEmpty(); }, 5000));

    const QPointF beta(probe->word(QStringLiteral("beta")));
    backend->postMouse(Mouse::LeftDown, beta, 1);
    backend->postMouse(Mouse::LeftUp, beta, 1);
    std::this_thread::sleep_for(GetParam().gap);
    // The viewer's picture is scaled: the second press may land a pixel away from the first.
    backend->postMouse(Mouse::LeftDown, beta + QPointF(1, 1), 2);
    backend->postMouse(Mouse::LeftUp, beta + QPointF(1, 1), 1);

    EXPECT_TRUE(waitUntil([&] { return probe->selected() == QLatin1String("beta"); }, 5000)) << probe->selected().toStdString();
    // Still so once everything has arrived.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(probe->selected().toStdString(), "beta");
}

INSTANTIATE_TEST_SUITE_P(Gaps, X11DoubleClick,
                         ::testing::Values(DoubleClickCase{"SamePoll", std::chrono::milliseconds(0)},
                                           DoubleClickCase{"NextPoll", std::chrono::milliseconds(150)},
                                           DoubleClickCase{"NearTheInterval", std::chrono::milliseconds(350)},
                                           DoubleClickCase{"WellPastTheInterval", std::chrono::milliseconds(800)}),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
