// A host session on a real X screen (a private Xvfb) whose size changes through RandR while the
// viewer watches: the viewer is greeted again with the new size, and its clicks land on the
// display as it is now.
#include "Base64.h"
#include "CannedSwitchboard.h"
#include "HostSession.h"
#include "JpegTestImage.h"
#include "KivrenAPI.h"
#include "MacInput.h"
#include "OwnedTask.h"
#include "X11DesktopBackend.h"
#include "XvfbServer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include <gtest/gtest.h>

#include <cstring>

// Xlib last: its macros clash with Qt headers.
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

namespace {

// Switches the screen's one output to a new mode, as a display settings tool would. Xvfb knows
// only its start size, so the mode is made first; it lives as long as this connection.
class ScreenMode
{
public:
    ScreenMode(const std::string &displayName, int width, int height)
        : m_display(XOpenDisplay(displayName.c_str()))
    {
        if (!m_display)
            return;
        const Window root = DefaultRootWindow(m_display);
        XRRScreenResources *resources = XRRGetScreenResources(m_display, root);
        if (!resources || resources->noutput < 1)
            return;
        RROutput output = resources->outputs[0];
        XRROutputInfo *info = XRRGetOutputInfo(m_display, resources, output);
        const std::string name = std::to_string(width) + "x" + std::to_string(height);
        XRRModeInfo mode{};
        mode.width = static_cast<unsigned>(width);
        mode.height = static_cast<unsigned>(height);
        mode.hTotal = mode.width;
        mode.vTotal = mode.height;
        mode.dotClock = 60UL * mode.width * mode.height;
        mode.name = const_cast<char *>(name.c_str());
        mode.nameLength = static_cast<unsigned>(name.size());
        const RRMode id = XRRCreateMode(m_display, root, &mode);
        XRRAddOutputMode(m_display, output, id);
        m_applied = XRRSetCrtcConfig(m_display, resources, info->crtc, CurrentTime, 0, 0, id, RR_Rotate_0, &output, 1)
            == RRSetConfigSuccess;
        // At 96 dpi, as the server reports sizes in millimetres.
        XRRSetScreenSize(m_display, root, width, height, width * 254 / 960, height * 254 / 960);
        XSync(m_display, False);
        XRRFreeOutputInfo(info);
        XRRFreeScreenResources(resources);
    }
    ~ScreenMode()
    {
        if (m_display)
            XCloseDisplay(m_display);
    }
    ScreenMode(const ScreenMode &) = delete;
    ScreenMode &operator=(const ScreenMode &) = delete;

    bool applied() const { return m_applied; }

private:
    Display *m_display = nullptr;
    bool m_applied = false;
};

QPoint pointer(const std::string &displayName)
{
    Display *display = XOpenDisplay(displayName.c_str());
    if (!display)
        return {-1, -1};
    Window rootReturn = 0, child = 0;
    int x = -1, y = -1, wx = 0, wy = 0;
    unsigned int mask = 0;
    XQueryPointer(display, DefaultRootWindow(display), &rootReturn, &child, &x, &y, &wx, &wy, &mask);
    XCloseDisplay(display);
    return {x, y};
}

QByteArray answerWith(const QJsonObject &message)
{
    const QByteArray payload = Base64::encode(QJsonDocument(message).toJson(QJsonDocument::Compact));
    const QJsonArray frames{QJsonObject{{"kind", "json"}, {"payload", QString::fromLatin1(payload)}}};
    return QJsonDocument(QJsonObject{{"frames", frames}}).toJson(QJsonDocument::Compact);
}

struct Push
{
    QString kind;
    QByteArray payload;
};

QList<Push> pushes(const CannedSwitchboard &board)
{
    QList<Push> out;
    for (const CannedSwitchboard::Request &request : board.requests(QStringLiteral("push"))) {
        out.append({request.body.value("kind").toString(),
                    Base64::decodeStrict(request.body.value("payload").toString().toLatin1()).value_or(QByteArray())});
    }
    return out;
}

// The hellos pushed so far, as {width, height}.
QList<QSize> hellos(const CannedSwitchboard &board)
{
    QList<QSize> out;
    for (const Push &push : pushes(board)) {
        const QJsonObject message = QJsonDocument::fromJson(push.payload).object();
        if (push.kind == QStringLiteral("json") && message.value("type").toString() == QStringLiteral("hello"))
            out.append(QSize(message.value("width").toInt(), message.value("height").toInt()));
    }
    return out;
}

TEST(HostSessionDisplay, Resize_GreetsAgainAndPlacesInputOnTheNewSize)
{
    XvfbServer server(1280, 800);
    ASSERT_TRUE(server.running());
    auto desktop = X11DesktopBackend::open(QString::fromStdString(server.name()));
    ASSERT_TRUE(desktop);
    MacInput::setLeftDown(false);
    CannedSwitchboard board;
    KivrenAPI api(board.origin());
    HostSession::Options options;
    options.api = &api;
    options.desktop = desktop.get();
    options.keys = {"s1", "t1"};
    options.pause = std::chrono::milliseconds(20);
    OwnedTask<HostSession> session;
    session.start(std::move(options));
    const auto waitFor = [](const std::function<bool()> &condition) { return QTest::qWaitFor(condition, 15000); };
    // Hello and the first picture; nothing moves on this screen, so nothing more.
    ASSERT_TRUE(waitFor([&] { return pushes(board).size() >= 2; }));
    EXPECT_EQ(hellos(board), QList<QSize>{QSize(1280, 800)});

    const ScreenMode smaller(server.name(), 1024, 768);
    ASSERT_TRUE(smaller.applied());

    // The viewer hears the new size once, then gets pictures of it.
    ASSERT_TRUE(waitFor([&] { return hellos(board).size() >= 2; }));
    EXPECT_EQ(hellos(board), (QList<QSize>{QSize(1280, 800), QSize(1024, 768)}));
    EXPECT_EQ(session->geometry(), (DisplayGeometry{1024, 768, 0, 0}));
    ASSERT_TRUE(waitFor([&] { return pushes(board).last().kind == QStringLiteral("jpeg"); }));
    const Push picture = pushes(board).last();
    ASSERT_EQ(picture.kind, QStringLiteral("jpeg"));
    const JpegTestImage::Decoded decoded = JpegTestImage::decode(picture.payload);
    EXPECT_EQ(QSize(decoded.width, decoded.height), QSize(1024, 768));

    // A click in the middle of the picture lands in the middle of the display as it is now.
    board.setReplies(QStringLiteral("poll"),
                     {{200, answerWith({{"type", "input"}, {"kind", "move"}, {"x", 0.5}, {"y", 0.5}})}, {200, "{}"}});
    EXPECT_TRUE(waitFor([&] { return pointer(server.name()) == QPoint(512, 384); })) << pointer(server.name()).x();
    EXPECT_EQ(hellos(board).size(), 2);

    session.reset();
    QTest::qWait(50);
}

} // namespace
