// The Wayland backend on GNOME's own remote-desktop service, against a real headless mutter:
// what it captures of a client window, and what that window receives from the input it injects.
// Runs inside tests/support/wayland-session (a German keymap, 1280x800).
#include "DisplayGeometry.h"
#include "HostInputQueue.h"
#include "MutterRemoteDesktopSession.h"
#include "PipeWireCapture.h"
#include "WaitUntil.h"
#include "WaylandDesktopBackend.h"
#include "WaylandProbeProcess.h"

#include <QStringList>

#include <gtest/gtest.h>

#include <xkbcommon/xkbcommon-keysyms.h>

#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <thread>

namespace {

constexpr int screenWidth = 1280;
constexpr int screenHeight = 800;
constexpr int startTimeoutMs = 20000;
constexpr int eventTimeoutMs = 5000;

std::uint32_t pixelAt(const ScreenImage &image, int x, int y)
{
    const std::uint8_t *p = image.pixels + static_cast<std::size_t>(y) * image.stride + x * 4;
    return static_cast<std::uint32_t>(p[2] << 16 | p[1] << 8 | p[0]);
}

bool showsQuadrants(const ScreenImage &image)
{
    const int w = image.width;
    const int h = image.height;
    const QPoint centres[4] = {{w / 4, h / 4}, {w * 3 / 4, h / 4}, {w / 4, h * 3 / 4}, {w * 3 / 4, h * 3 / 4}};
    for (int i = 0; i < 4; ++i) {
        if (pixelAt(image, centres[i].x(), centres[i].y()) != WaylandProbeProcess::quadrantColours[i])
            return false;
    }
    return true;
}

// The text the probe's key presses typed, in order.
QString typedText(const QStringList &lines)
{
    QString text;
    for (const QString &line : lines) {
        const QStringList words = line.split(QLatin1Char(' '));
        if (words.size() == 3 && words[0] == QStringLiteral("key"))
            text += QString::fromUtf8(QByteArray::fromHex(words[2].toLatin1()));
    }
    return text;
}

QStringList linesStartingWith(const QStringList &lines, const QString &prefix)
{
    QStringList found;
    for (const QString &line : lines) {
        if (line.startsWith(prefix))
            found << line;
    }
    return found;
}

class WaylandDesktopBackendTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) << "run through tests/support/wayland-session";
        probe = std::make_unique<WaylandProbeProcess>();
        ASSERT_EQ(probe->waitReady(startTimeoutMs), QSize(screenWidth, screenHeight));

        WaylandDesktopBackend::Options options;
        options.path = WaylandDesktopBackend::Path::Mutter;
        backend = std::make_unique<WaylandDesktopBackend>(options);
        waitUntil([&] { return settled(); }, startTimeoutMs);
        ASSERT_EQ(backend->state(), DesktopBackend::State::Ready) << backend->failure().toStdString();
    }

    void TearDown() override
    {
        backend.reset();
        probe.reset();
    }

    bool settled() const
    {
        const DesktopBackend::State state = backend->state();
        return state == DesktopBackend::State::Ready || state == DesktopBackend::State::Failed;
    }

    // Captures until the probe's pattern is in the picture.
    std::optional<ScreenImage> captureQuadrants()
    {
        std::optional<ScreenImage> image;
        waitUntil(
            [&] {
                image = backend->captureMainDisplay();
                return image && showsQuadrants(*image);
            },
            startTimeoutMs, 20, 10);
        return image;
    }

    // A compositor without a mouse and a keyboard of its own (as here) makes the session's on
    // their first event, and the client binds them only after hearing of that: events sent in
    // between are lost to it. On a desktop with real devices there is no such gap. So the tests
    // wait until the probe has each device before sending what they check.
    void waitForPointer()
    {
        ASSERT_TRUE(probe->waitFor([](const QString &line) { return line == QStringLiteral("enter"); }, startTimeoutMs))
            << probe->lines().join(QLatin1Char('\n')).toStdString();
    }

    // Knocks with a key until one arrives. Knocks that were still on their way are left out of
    // keyLines(), whenever they come: the tests type no knock key themselves.
    void waitForKeyboard()
    {
        const bool arrived = waitUntil(
            [&] {
                if (!linesStartingWith(probe->lines(), QStringLiteral("key ")).isEmpty())
                    return true;
                backend->typeText(knock);
                return probe->waitFor([](const QString &line) { return line.startsWith(QStringLiteral("key ")); }, 200);
            },
            startTimeoutMs, 0, 0);
        ASSERT_TRUE(arrived) << probe->lines().join(QLatin1Char('\n')).toStdString();
    }

    // The key lines the probe reported, without the knocks.
    QStringList keyLines()
    {
        const QString knockLine = QStringLiteral(" ") + QString::fromLatin1(knock.toUtf8().toHex());
        QStringList keys;
        for (const QString &line : linesStartingWith(probe->lines(), QStringLiteral("key "))) {
            if (!line.endsWith(knockLine))
                keys << line;
        }
        return keys;
    }

    // The probe's key, held and keyup lines, without the knocks and what they brought.
    QStringList keyboardLines()
    {
        const QString knockKey = QString::number(Qt::Key_NumberSign);
        QStringList found;
        for (const QString &line : probe->lines()) {
            const QStringList words = line.split(QLatin1Char(' '));
            if (words.size() < 2 || !QStringList{"key", "held", "keyup"}.contains(words[0]) || words[1] == knockKey)
                continue;
            found << line;
        }
        return found;
    }

    void click(QPointF point, bool right)
    {
        waitForPointer();
        using Mouse = DesktopBackend::MouseEvent;
        backend->warpPointer(point);
        backend->postMouse(Mouse::Moved, point, 1);
        backend->postMouse(right ? Mouse::RightDown : Mouse::LeftDown, point, 1);
        backend->postMouse(right ? Mouse::RightUp : Mouse::LeftUp, point, 1);
    }

    std::unique_ptr<WaylandProbeProcess> probe;
    std::unique_ptr<WaylandDesktopBackend> backend;
    const QString knock = QStringLiteral("#");
};

TEST_F(WaylandDesktopBackendTest, CapturesTheMainDisplay_AsBgrx)
{
    EXPECT_EQ(backend->path(), WaylandDesktopBackend::Path::Mutter);
    EXPECT_EQ(backend->mainDisplayBounds(), QRectF(0, 0, screenWidth, screenHeight));
    const std::optional<ScreenImage> image = captureQuadrants();
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, screenWidth);
    EXPECT_EQ(image->height, screenHeight);
    EXPECT_GE(image->stride, screenWidth * 4);
    EXPECT_TRUE(showsQuadrants(*image));
}

TEST_F(WaylandDesktopBackendTest, HeldPictures_StayUnchanged_WhileTheScreenMovesOnAndAfterTheStreamEnds)
{
    // A window that repaints all the time, over the quadrants.
    WaylandProbeProcess animated(true);
    ASSERT_TRUE(animated.waitReady(startTimeoutMs).isValid());
    ASSERT_TRUE(captureQuadrants()); // the stream runs
    const auto bytesOf = [](const ScreenImage &image) {
        return QByteArray(reinterpret_cast<const char *>(image.pixels),
                          static_cast<qsizetype>(image.stride) * image.height);
    };
    std::optional<ScreenImage> held;
    ASSERT_TRUE(waitUntil([&] { return (held = backend->captureMainDisplay()) && !showsQuadrants(*held); }, startTimeoutMs,
                          20, 10));
    const QByteArray before = bytesOf(*held);

    const std::uint64_t frames = backend->capture().framesReceived();
    ASSERT_TRUE(waitUntil([&] { return backend->capture().framesReceived() >= frames + 40; }, startTimeoutMs, 20, 10));
    const std::optional<ScreenImage> newer = backend->captureMainDisplay();
    ASSERT_TRUE(newer);
    EXPECT_NE(bytesOf(*newer), before); // the screen moved on...
    EXPECT_EQ(bytesOf(*held), before);  // ...the held picture did not

    // Both stay readable once the stream is gone.
    backend.reset();
    EXPECT_EQ(bytesOf(*held), before);
    EXPECT_EQ(bytesOf(*newer).size(), before.size());
}

struct ClickCase
{
    std::string name;
    QPoint point;
    bool right = false;
};

// CTest names carry the printed parameter: the row's name, not its bytes.
void PrintTo(const ClickCase &row, std::ostream *out)
{
    *out << row.name;
}

class WaylandClickTest : public WaylandDesktopBackendTest, public ::testing::WithParamInterface<ClickCase>
{};

TEST_P(WaylandClickTest, ClickLandsAtThePoint_WithItsButton)
{
    const ClickCase &row = GetParam();
    click(row.point, row.right);
    const QString button = row.right ? QStringLiteral("right") : QStringLiteral("left");
    const QString press = QStringLiteral("press %1 %2 %3").arg(row.point.x()).arg(row.point.y()).arg(button);
    const QString release = QStringLiteral("release %1 %2 %3").arg(row.point.x()).arg(row.point.y()).arg(button);
    EXPECT_TRUE(probe->waitFor([&](const QString &line) { return line == release; }, eventTimeoutMs))
        << probe->lines().join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(linesStartingWith(probe->lines(), QStringLiteral("press")), QStringList{press});
}

INSTANTIATE_TEST_SUITE_P(Points, WaylandClickTest,
                         ::testing::Values(ClickCase{"LeftNearTopLeft", {10, 12}, false},
                                           ClickCase{"LeftInTheMiddle", {640, 400}, false},
                                           ClickCase{"LeftNearBottomRight", {1270, 790}, false},
                                           ClickCase{"Right", {900, 300}, true}),
                         [](const ::testing::TestParamInfo<ClickCase> &info) { return info.param.name; });

TEST_F(WaylandDesktopBackendTest, Wheel_ScrollsOneClickPerFortyPixelsEachWay)
{
    click({300, 300}, false);
    backend->postScroll({300, 300}, 120);
    backend->postScroll({300, 300}, -40);
    int up = 0;
    int down = 0;
    probe->waitFor(
        [&](const QString &) {
            up = 0;
            down = 0;
            for (const QString &line : linesStartingWith(probe->lines(), QStringLiteral("wheel "))) {
                const int delta = line.mid(6).toInt();
                (delta > 0 ? up : down) += delta;
            }
            return up == 360 && down == -120;
        },
        eventTimeoutMs);
    // Qt's angle delta: 120 per wheel click, positive away from the person.
    EXPECT_EQ(up, 360);
    EXPECT_EQ(down, -120);
}

// Ten 4-pixel deltas scroll as far as one 40-pixel delta; what is left of a scroll is carried
// only while the wheel keeps turning the same way.
TEST_F(WaylandDesktopBackendTest, Wheel_SmallDeltasAddUpToWholeClicks)
{
    click({300, 300}, false);
    for (int i = 0; i < 15; ++i)
        backend->postScroll({300, 300}, -4); // one click, 20 px left over
    backend->postScroll({300, 300}, 30);     // the other way: the 20 px are dropped, 30 carried
    backend->postScroll({300, 300}, 10);     // one click up
    int up = 0;
    int down = 0;
    const auto count = [&] {
        up = 0;
        down = 0;
        for (const QString &line : linesStartingWith(probe->lines(), QStringLiteral("wheel "))) {
            const int delta = line.mid(6).toInt();
            (delta > 0 ? up : down) += delta;
        }
    };
    probe->waitFor(
        [&](const QString &) {
            count();
            return up == 120 && down == -120;
        },
        eventTimeoutMs);
    // Nothing more on its way.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    count();
    EXPECT_EQ(up, 120);
    EXPECT_EQ(down, -120);
}

struct DoubleClickCase
{
    std::string name;
    std::chrono::milliseconds gap;
    QPoint offset;          // of the second press from the first
    std::int64_t clickState; // of the second press
    int doubles;            // the probe counts this many double clicks
};

void PrintTo(const DoubleClickCase &row, std::ostream *out)
{
    *out << row.name;
}

class WaylandDoubleClickTest : public WaylandDesktopBackendTest, public ::testing::WithParamInterface<DoubleClickCase>
{};

// The client counts clicks by the times the compositor gives them: the viewer's second click may
// come in a later poll, and still is the second click of a double click, once.
TEST_P(WaylandDoubleClickTest, SecondPressIsADoubleClick_WhateverTheGap)
{
    const DoubleClickCase &row = GetParam();
    using Mouse = DesktopBackend::MouseEvent;
    const QPoint first(500, 300);
    click(first, false);
    std::this_thread::sleep_for(row.gap);
    const QPointF second = first + row.offset;
    backend->postMouse(Mouse::LeftDown, second, row.clickState);
    backend->postMouse(Mouse::LeftUp, second, 1);
    // A right click afterwards marks the end of what the left button did.
    backend->postMouse(Mouse::RightDown, second, 1);
    backend->postMouse(Mouse::RightUp, second, 1);
    ASSERT_TRUE(probe->waitFor([](const QString &line) { return line.startsWith(QStringLiteral("release")) && line.endsWith(QStringLiteral("right")); },
                               eventTimeoutMs))
        << probe->lines().join(QLatin1Char('\n')).toStdString();
    const QStringList doubles = linesStartingWith(probe->lines(), QStringLiteral("double "));
    EXPECT_EQ(doubles.size(), row.doubles) << probe->lines().join(QLatin1Char('\n')).toStdString();
    // On the first press's point, so that the client pairs them and nothing is dragged.
    for (const QString &line : doubles)
        EXPECT_EQ(line, QStringLiteral("double %1 %2 left").arg(first.x()).arg(first.y()));
    for (const QString &line : linesStartingWith(probe->lines(), QStringLiteral("release ")).mid(0, 1))
        EXPECT_EQ(line, QStringLiteral("release %1 %2 left").arg(first.x()).arg(first.y()));
}

INSTANTIATE_TEST_SUITE_P(
    Gaps, WaylandDoubleClickTest,
    ::testing::Values(DoubleClickCase{"SamePoll", std::chrono::milliseconds(0), {}, 2, 1},
                      DoubleClickCase{"NextPollAPixelAway", std::chrono::milliseconds(150), {1, 1}, 2, 1},
                      DoubleClickCase{"NearTheInterval", std::chrono::milliseconds(350), {}, 2, 1},
                      DoubleClickCase{"WellPastTheInterval", std::chrono::milliseconds(800), {2, -1}, 2, 1},
                      // Without the click state a late second click stays a click of its own.
                      DoubleClickCase{"LateSingleClick", std::chrono::milliseconds(800), {}, 1, 0}),
    [](const ::testing::TestParamInfo<DoubleClickCase> &info) { return info.param.name; });

struct TypingCase
{
    std::string name;
    QString text;
    QString typed;
};

void PrintTo(const TypingCase &row, std::ostream *out)
{
    *out << row.name;
}

class WaylandTypingTest : public WaylandDesktopBackendTest, public ::testing::WithParamInterface<TypingCase>
{};

TEST_P(WaylandTypingTest, TypesWhatTheKeymapHolds)
{
    const TypingCase &row = GetParam();
    waitForKeyboard();
    backend->typeText(row.text);
    // A marker after the text: once it arrived, everything before it has too.
    backend->typeText(QStringLiteral("."));
    const QString expected = row.typed + QLatin1Char('.');
    probe->waitFor([&](const QString &) { return typedText(keyLines()) == expected; }, eventTimeoutMs);
    EXPECT_EQ(typedText(keyLines()), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, WaylandTypingTest,
    ::testing::Values(TypingCase{"Ascii", QStringLiteral("Hello, World 42!"), QStringLiteral("Hello, World 42!")},
                      // On the German keymap: plain keys, Shift and AltGr levels.
                      TypingCase{"BeyondAscii", QStringLiteral("Grüße, Ä @ €"), QStringLiteral("Grüße, Ä @ €")},
                      TypingCase{"LineEndsAndTabs", QStringLiteral("a\r\nb\tc\nd"), QStringLiteral("a\rb\tc\rd")},
                      // Missing from the keymap: left out, the rest still typed.
                      TypingCase{"MissingFromKeymap", QStringLiteral("aжb"), QStringLiteral("ab")}),
    [](const ::testing::TestParamInfo<TypingCase> &info) { return info.param.name; });

TEST_F(WaylandDesktopBackendTest, NamedKeys_ArePressedOnce)
{
    waitForKeyboard();
    // The release of each has nothing left to do.
    for (const NamedKey key : {NamedKey::Enter, NamedKey::Backspace, NamedKey::ArrowLeft, NamedKey::Escape}) {
        backend->postKey(key, true);
        backend->postKey(key, false);
    }
    backend->typeText(QStringLiteral("."));
    const QStringList expected{QStringLiteral("key %1 0d").arg(Qt::Key_Return), QStringLiteral("key %1 08").arg(Qt::Key_Backspace),
                               QStringLiteral("key %1 ").arg(Qt::Key_Left), QStringLiteral("key %1 1b").arg(Qt::Key_Escape),
                               QStringLiteral("key %1 2e").arg(Qt::Key_Period)};
    probe->waitFor([&](const QString &line) { return line == expected.last(); }, eventTimeoutMs);
    EXPECT_EQ(keyLines(), expected);
}

// Every further key reaches the client as itself, once per press.
TEST_F(WaylandDesktopBackendTest, FurtherKeys_ArePressedOnce)
{
    waitForKeyboard();
    const std::pair<NamedKey, int> keys[] = {
        {NamedKey::Home, Qt::Key_Home},     {NamedKey::End, Qt::Key_End},       {NamedKey::PageUp, Qt::Key_PageUp},
        {NamedKey::PageDown, Qt::Key_PageDown}, {NamedKey::Insert, Qt::Key_Insert}, {NamedKey::F1, Qt::Key_F1},
        {NamedKey::F2, Qt::Key_F2},         {NamedKey::F3, Qt::Key_F3},         {NamedKey::F4, Qt::Key_F4},
        {NamedKey::F5, Qt::Key_F5},         {NamedKey::F6, Qt::Key_F6},         {NamedKey::F7, Qt::Key_F7},
        {NamedKey::F8, Qt::Key_F8},         {NamedKey::F9, Qt::Key_F9},         {NamedKey::F10, Qt::Key_F10},
        {NamedKey::F11, Qt::Key_F11},       {NamedKey::F12, Qt::Key_F12},
    };
    QStringList expected;
    for (const auto &[key, qtKey] : keys) {
        backend->postKey(key, true);
        backend->postKey(key, false);
        expected << QStringLiteral("key %1 ").arg(qtKey);
    }
    backend->typeText(QStringLiteral("."));
    expected << QStringLiteral("key %1 2e").arg(Qt::Key_Period);
    probe->waitFor([&](const QString &line) { return line == expected.last(); }, eventTimeoutMs);
    EXPECT_EQ(keyLines(), expected);
}

// A session's end lets go of what its viewer's input left pressed: here a drag that never
// ended, through the host's input queue as the session loop drives it. (A key press is a whole
// keystroke here, so only buttons can be left down.)
TEST_F(WaylandDesktopBackendTest, SessionEnd_ReleasesTheButtonItsViewerLeftPressed)
{
    waitForPointer();
    RemoteInput press;
    press.kind = RemoteInput::Kind::down;
    press.x = 0.5;
    press.y = 0.5;
    HostInputQueue queue;
    queue.append(SessionProtocol::Input{press});
    queue.applyPass(*backend, DisplayGeometry{screenWidth, screenHeight, 0, 0});
    ASSERT_TRUE(probe->waitFor([](const QString &line) { return line == QStringLiteral("press 640 400 left"); },
                               eventTimeoutMs))
        << probe->lines().join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(linesStartingWith(probe->lines(), QStringLiteral("release")).isEmpty());

    queue.releaseHeld(*backend);
    EXPECT_TRUE(probe->waitFor([](const QString &line) { return line == QStringLiteral("release 640 400 left"); },
                               eventTimeoutMs))
        << probe->lines().join(QLatin1Char('\n')).toStdString();
}

// A shortcut as the host makes it: modifiers down in order shift, control, alt, meta, the key
// with all of them held, then up in reverse; a change of the set lets go of only what is no
// longer wanted; the backend's end lets go of the rest.
TEST_F(WaylandDesktopBackendTest, HeldModifiersWrapTheKeyAndGoUpInReverse)
{
    waitForKeyboard();
    backend->holdModifiers({KeyModifier::Meta, KeyModifier::Alt, KeyModifier::Control, KeyModifier::Shift});
    EXPECT_EQ(backend->typeText(QStringLiteral("a")), 1);
    backend->holdModifiers({KeyModifier::Control});
    backend->postKey(NamedKey::Home, true);
    backend->postKey(NamedKey::Home, false);
    backend->holdModifiers({KeyModifier::Control, KeyModifier::Alt});
    backend->holdModifiers({});
    backend->holdModifiers({KeyModifier::Alt});
    backend.reset();

    const QString shift = QString::number(Qt::Key_Shift);
    const QString control = QString::number(Qt::Key_Control);
    const QString alt = QString::number(Qt::Key_Alt);
    // The keymap's Alt key types Meta with Shift; it is the Alt modifier all the same.
    const QString altWithShift = QString::number(Qt::Key_Meta);
    const QString super = QString::number(Qt::Key_Super_L);
    const QString a = QString::number(Qt::Key_A);
    const QString home = QString::number(Qt::Key_Home);
    const QStringList expected{
        "key " + shift + " ", "key " + control + " ", "key " + altWithShift + " ", "key " + super + " ",
        // Ctrl+A's control character.
        "key " + a + " 01", "held " + a + " shift control alt meta",
        "keyup " + a, "keyup " + super, "keyup " + altWithShift, "keyup " + shift,
        "key " + home + " ", "held " + home + " control", "keyup " + home,
        "key " + alt + " ", "keyup " + alt, "keyup " + control,
        "key " + alt + " ", "keyup " + alt,
    };
    // What a client makes of a modifier key's own press varies; the keys after them tell.
    const QStringList modifierKeys{shift, control, alt, altWithShift, super};
    const auto keyboardLines = [&] {
        QStringList lines = this->keyboardLines();
        lines.removeIf([&](const QString &line) {
            return line.startsWith(QStringLiteral("held ")) && modifierKeys.contains(line.section(QLatin1Char(' '), 1, 1));
        });
        return lines;
    };
    probe->waitFor([&](const QString &) { return keyboardLines().size() >= expected.size(); }, eventTimeoutMs);
    EXPECT_EQ(keyboardLines().join(QLatin1Char('|')).toStdString(), expected.join(QLatin1Char('|')).toStdString());
}

// Text comes out as sent when Caps Lock is on (here locked through another remote-desktop
// session, as the person at the machine would); Caps Lock is on again afterwards.
TEST_F(WaylandDesktopBackendTest, TextIgnoresCapsLock)
{
    waitForKeyboard();
    MutterRemoteDesktopSession other(QDBusConnection::sessionBus());
    other.start();
    ASSERT_TRUE(waitUntil([&] { return other.state() == DesktopBackend::State::Ready; }, startTimeoutMs));
    other.pressKeysym(XKB_KEY_Caps_Lock, true);
    other.pressKeysym(XKB_KEY_Caps_Lock, false);
    ASSERT_TRUE(waitUntil([&] { return other.capsLocked(); }, eventTimeoutMs));

    backend->typeText(QStringLiteral("aB Grüße"));
    backend->typeText(QStringLiteral("."));
    probe->waitFor([&](const QString &) { return typedText(keyLines()).endsWith(QLatin1Char('.')); }, eventTimeoutMs);
    EXPECT_EQ(typedText(keyLines()), QStringLiteral("aB Grüße."));

    // Still locked: a letter typed through the other session comes out in upper case.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(other.capsLocked());
    other.pressKeysym(XKB_KEY_x, true);
    other.pressKeysym(XKB_KEY_x, false);
    probe->waitFor([&](const QString &) { return typedText(keyLines()).endsWith(QLatin1Char('X')); }, eventTimeoutMs);
    EXPECT_EQ(typedText(keyLines()), QStringLiteral("aB Grüße.X"));
}

} // namespace
