// A host session on a real X server (a private Xvfb): the pointer button its viewer pressed and
// never released is up again once the session ends, however it ends, and no key is left down
// (X types a special key's press as a whole keystroke, and modifiers are held only around one
// message's action).
#include "CannedSwitchboard.h"
#include "ViewerAnswer.h"
#include "XvfbServer.h"

#include "Base64.h"
#include "HostSession.h"
#include "KivrenAPI.h"
#include "MacInput.h"
#include "OwnedTask.h"
#include "X11DesktopBackend.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>

#include <X11/Xlib.h>

namespace {

// What the X server holds down: pointer buttons, keys (modifiers among them).
struct Held
{
    bool button = false;
    bool key = false;
};

Held heldOn(Display *display)
{
    Window root = 0;
    Window child = 0;
    int rootX = 0;
    int rootY = 0;
    int x = 0;
    int y = 0;
    unsigned int mask = 0;
    XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &x, &y, &mask);
    char keys[32] = {};
    XQueryKeymap(display, keys);
    return {(mask & (Button1Mask | Button2Mask | Button3Mask)) != 0,
            std::any_of(std::begin(keys), std::end(keys), [](char bits) { return bits != 0; })};
}

struct EndCase
{
    const char *name;
    bool closeMessage; // else its owner stops it
};

void PrintTo(const EndCase &row, std::ostream *out)
{
    *out << row.name;
}

class HostSessionX11 : public ::testing::TestWithParam<EndCase>
{
};

TEST_P(HostSessionX11, HeldButton_UpWhenTheSessionEnds_NoKeyLeftDown)
{
    XvfbServer server(1024, 768);
    ASSERT_TRUE(server.running());
    std::unique_ptr<X11DesktopBackend> desktop = X11DesktopBackend::open(QString::fromStdString(server.name()));
    ASSERT_TRUE(desktop);
    Display *display = XOpenDisplay(server.name().c_str());
    ASSERT_NE(display, nullptr);
    MacInput::setLeftDown(false);

    // A shift-drag that never ends and a key whose release never comes.
    CannedSwitchboard board;
    QList<CannedSwitchboard::Reply> polls{
        {200, answerWith({{{"type", "input"}, {"kind", "down"}, {"x", 0.5}, {"y", 0.5}, {"modifiers", QJsonArray{"shift"}}},
                          {{"type", "input"}, {"kind", "move"}, {"x", 0.6}, {"y", 0.5}, {"modifiers", QJsonArray{"shift"}}},
                          {{"type", "key"}, {"codeName", "arrowleft"}, {"key", ""}, {"down", true}}})},
        {200, "{}"}};
    board.setReplies(QStringLiteral("poll"), polls);
    KivrenAPI api(board.origin());
    HostSession::Options options;
    options.api = &api;
    options.desktop = desktop.get();
    options.keys = {"s1", "t1"};
    options.pause = std::chrono::milliseconds(20);
    OwnedTask<HostSession> session;
    session.start(std::move(options));
    ASSERT_TRUE(QTest::qWaitFor([&] { return heldOn(display).button; }, 10000));

    if (GetParam().closeMessage) {
        board.setReplies(QStringLiteral("poll"), {{200, answerWith({{{"type", "close"}}})}, {200, "{}"}});
        ASSERT_TRUE(QTest::qWaitFor([&] { return session->closed(); }, 10000));
    } else {
        session.reset();
    }
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            const Held held = heldOn(display);
            return !held.button && !held.key;
        },
        5000));
    EXPECT_FALSE(MacInput::leftDown());

    session.reset();
    QTest::qWait(20);
    XCloseDisplay(display);
}

INSTANTIATE_TEST_SUITE_P(Ends, HostSessionX11,
                         ::testing::Values(EndCase{"CloseMessage", true}, EndCase{"StoppedByItsOwner", false}),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
