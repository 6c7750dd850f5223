// The Wayland backend through the desktop portal, against a double of the portal's documented
// D-Bus interface (GNOME's own portal backend does not run headless). The stream the double
// hands out is a real screen cast of the private mutter, reached through the PipeWire
// connection the double opens, as a portal does; input is checked as the calls the portal gets.
#include "MutterRemoteDesktopSession.h"
#include "PortalRemoteDesktopSession.h"
#include "SettingsStore.h"
#include "WaitUntil.h"
#include "WaylandDesktopBackend.h"
#include "WaylandPortalDouble.h"
#include "WaylandProbeProcess.h"

#include <QDBusObjectPath>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace {

using State = DesktopBackend::State;

constexpr int startTimeoutMs = 20000;
constexpr int callTimeoutMs = 5000;
constexpr int evdevLeft = 0x110;

bool showsQuadrants(const ScreenImage &image)
{
    const int w = image.width;
    const int h = image.height;
    const QPoint centres[4] = {{w / 4, h / 4}, {w * 3 / 4, h / 4}, {w / 4, h * 3 / 4}, {w * 3 / 4, h * 3 / 4}};
    for (int i = 0; i < 4; ++i) {
        const std::uint8_t *p = image.pixels + static_cast<std::size_t>(centres[i].y()) * image.stride + centres[i].x() * 4;
        if (static_cast<unsigned>(p[2] << 16 | p[1] << 8 | p[0]) != WaylandProbeProcess::quadrantColours[i])
            return false;
    }
    return true;
}

// The arguments of an input call after the session handle and the empty options.
QList<QVariant> inputArguments(const WaylandPortalDouble::Call &call)
{
    return call.arguments.mid(2);
}

class WaylandPortalTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) << "run through tests/support/wayland-session";
        ASSERT_TRUE(settingsDir.isValid());
        settings = std::make_unique<SettingsStore>(settingsDir.filePath(QStringLiteral("settings.ini")));

        // The screen cast the double hands out: mutter's, on a connection of the test's own.
        source = std::make_unique<MutterRemoteDesktopSession>(
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("cast-source")));
        source->start();
        waitUntil([&] { return source->state() == State::Ready || source->state() == State::Failed; }, startTimeoutMs);
        ASSERT_EQ(source->state(), State::Ready) << source->failure().toStdString();

        portal = std::make_unique<WaylandPortalDouble>();
        ASSERT_TRUE(portal->registered());
        portal->nodeId = source->stream()->nodeId;
        portal->area = source->stream()->area;
    }

    void TearDown() override
    {
        backend.reset();
        portal.reset();
        source.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("cast-source"));
    }

    void open()
    {
        WaylandDesktopBackend::Options options;
        options.path = WaylandDesktopBackend::Path::Portal;
        options.settings = settings.get();
        backend = std::make_unique<WaylandDesktopBackend>(options);
        states.clear();
        backend->setStateObserver([this](State state) { states.push_back(state); });
    }

    bool waitForState(State state)
    {
        return waitUntil([&] { return backend->state() == state; }, startTimeoutMs);
    }

    bool waitForCalls(const QString &member, qsizetype count)
    {
        return waitUntil([&] { return portal->callsOf(member).size() >= count; }, callTimeoutMs, 20, 10);
    }

    QTemporaryDir settingsDir;
    std::unique_ptr<SettingsStore> settings;
    std::unique_ptr<MutterRemoteDesktopSession> source;
    std::unique_ptr<WaylandPortalDouble> portal;
    std::unique_ptr<WaylandDesktopBackend> backend;
    std::vector<State> states;
};

TEST_F(WaylandPortalTest, GrantedSession_CapturesAndInjectsThroughThePortal)
{
    WaylandProbeProcess probe;
    ASSERT_TRUE(probe.waitReady(startTimeoutMs).isValid());
    open();
    ASSERT_TRUE(waitForState(State::Ready)) << backend->failure().toStdString();
    EXPECT_EQ(states, (std::vector<State>{State::WaitingForConsent, State::Ready}));
    EXPECT_EQ(backend->mainDisplayBounds(), QRectF(portal->area));

    // Pictures come through the PipeWire connection the portal opened.
    std::optional<ScreenImage> image;
    waitUntil([&] { return (image = backend->captureMainDisplay()) && showsQuadrants(*image); }, startTimeoutMs, 20, 10);
    ASSERT_TRUE(image && showsQuadrants(*image));

    const qsizetype primingMoves = portal->callsOf(QStringLiteral("NotifyPointerMotion")).size();
    EXPECT_EQ(primingMoves, 1);
    const qsizetype primingKeys = portal->callsOf(QStringLiteral("NotifyKeyboardKeysym")).size();

    backend->postMouse(DesktopBackend::MouseEvent::LeftDown, {640, 400}, 1);
    backend->postMouse(DesktopBackend::MouseEvent::LeftUp, {640, 400}, 1);
    backend->postScroll({640, 400}, 120);
    backend->typeText(QStringLiteral("é"));
    ASSERT_TRUE(waitForCalls(QStringLiteral("NotifyKeyboardKeysym"), primingKeys + 2));

    const QList<WaylandPortalDouble::Call> moves = portal->callsOf(QStringLiteral("NotifyPointerMotionAbsolute"));
    ASSERT_EQ(moves.size(), 1);
    EXPECT_EQ(moves[0].arguments.at(0).value<QDBusObjectPath>().path(), portal->sessionPath());
    EXPECT_EQ(inputArguments(moves[0]), (QList<QVariant>{portal->nodeId, 640.0, 400.0}));
    const QList<WaylandPortalDouble::Call> buttons = portal->callsOf(QStringLiteral("NotifyPointerButton"));
    ASSERT_EQ(buttons.size(), 2);
    EXPECT_EQ(inputArguments(buttons[0]), (QList<QVariant>{evdevLeft, 1u}));
    EXPECT_EQ(inputArguments(buttons[1]), (QList<QVariant>{evdevLeft, 0u}));
    // 120 pixels up: three clicks against the vertical axis.
    const QList<WaylandPortalDouble::Call> wheel = portal->callsOf(QStringLiteral("NotifyPointerAxisDiscrete"));
    ASSERT_EQ(wheel.size(), 1);
    EXPECT_EQ(inputArguments(wheel[0]), (QList<QVariant>{0u, -3}));
    const QList<WaylandPortalDouble::Call> keys = portal->callsOf(QStringLiteral("NotifyKeyboardKeysym")).mid(primingKeys);
    ASSERT_EQ(keys.size(), 2);
    EXPECT_EQ(inputArguments(keys[0]), (QList<QVariant>{0xe9, 1u})); // eacute, pressed
    EXPECT_EQ(inputArguments(keys[1]), (QList<QVariant>{0xe9, 0u}));

    // The person stops sharing: no pictures, no input from then on.
    portal->closeSession();
    ASSERT_TRUE(waitForState(State::Refused));
    EXPECT_FALSE(backend->captureMainDisplay());
    backend->postMouse(DesktopBackend::MouseEvent::LeftDown, {10, 10}, 1);
    waitUntil([] { return false; }, 200);
    EXPECT_EQ(portal->callsOf(QStringLiteral("NotifyPointerButton")).size(), 2);
}

TEST_F(WaylandPortalTest, RefusedConsent_IsReported_AndAskedAgainOnRequest)
{
    portal->answer = WaylandPortalDouble::Answer::Refused;
    open();
    ASSERT_TRUE(waitForState(State::Refused));
    EXPECT_EQ(states, (std::vector<State>{State::WaitingForConsent, State::Refused}));
    EXPECT_TRUE(portal->callsOf(QStringLiteral("OpenPipeWireRemote")).isEmpty());
    EXPECT_FALSE(backend->captureMainDisplay());
    EXPECT_TRUE(backend->mainDisplayBounds().isEmpty());
    backend->postMouse(DesktopBackend::MouseEvent::LeftDown, {10, 10}, 1);
    backend->typeText(QStringLiteral("a"));
    waitUntil([] { return false; }, 200);
    for (const WaylandPortalDouble::Call &call : portal->calls())
        EXPECT_FALSE(call.member.startsWith(QStringLiteral("Notify"))) << call.member.toStdString();

    portal->answer = WaylandPortalDouble::Answer::Granted;
    backend->requestAccess();
    ASSERT_TRUE(waitForState(State::Ready)) << backend->failure().toStdString();
    EXPECT_EQ(portal->callsOf(QStringLiteral("Start")).size(), 2);
}

TEST_F(WaylandPortalTest, WaitingForConsent_EndsWithTheBackend_ClosingTheSession)
{
    portal->answer = WaylandPortalDouble::Answer::Never;
    open();
    ASSERT_TRUE(waitForState(State::WaitingForConsent));
    const QString session = portal->sessionPath();
    backend.reset();
    ASSERT_TRUE(waitForCalls(QStringLiteral("Close"), 1));
    EXPECT_EQ(portal->calls().last().member, QStringLiteral("Close"));
    // Nothing is left waiting on the answer that never comes.
    waitUntil([] { return false; }, 300);
    EXPECT_EQ(portal->callsOf(QStringLiteral("Close")).size(), 1);
    EXPECT_FALSE(session.isEmpty());
}

struct PersistenceCase
{
    std::string name;
    std::uint32_t version = 0;
    bool keeps = false;
};

void PrintTo(const PersistenceCase &row, std::ostream *out)
{
    *out << row.name;
}

class WaylandPortalPersistenceTest : public WaylandPortalTest, public ::testing::WithParamInterface<PersistenceCase>
{};

TEST_P(WaylandPortalPersistenceTest, RestoreToken_IsKeptAndOffered_WhereThePortalCanPersist)
{
    const PersistenceCase &row = GetParam();
    portal->version = row.version;
    const QString key = PortalRemoteDesktopSession::restoreTokenKey;

    open();
    ASSERT_TRUE(waitForState(State::Ready)) << backend->failure().toStdString();
    QVariantMap devices = portal->lastDeviceOptions();
    EXPECT_EQ(devices.value(QStringLiteral("types")).toUInt(), 3u);
    EXPECT_EQ(devices.contains(QStringLiteral("persist_mode")), row.keeps);
    if (row.keeps)
        EXPECT_EQ(devices.value(QStringLiteral("persist_mode")).toUInt(), 2u);
    EXPECT_FALSE(devices.contains(QStringLiteral("restore_token")));
    EXPECT_EQ(settings->text(key), row.keeps ? std::optional<QString>(QStringLiteral("token-1")) : std::nullopt);

    // The next run offers the token and keeps the new one: each is good for one start.
    backend.reset();
    open();
    ASSERT_TRUE(waitForState(State::Ready)) << backend->failure().toStdString();
    devices = portal->lastDeviceOptions();
    EXPECT_EQ(devices.value(QStringLiteral("restore_token")).toString(), row.keeps ? QStringLiteral("token-1") : QString());
    EXPECT_EQ(devices.contains(QStringLiteral("restore_token")), row.keeps);
    EXPECT_EQ(settings->text(key), row.keeps ? std::optional<QString>(QStringLiteral("token-2")) : std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Versions, WaylandPortalPersistenceTest,
                         ::testing::Values(PersistenceCase{"KeepsPermission", 2, true},
                                           // Debian 12's portal: no persistence for remote desktops.
                                           PersistenceCase{"AsksEachTime", 1, false}),
                         [](const ::testing::TestParamInfo<PersistenceCase> &info) { return info.param.name; });

} // namespace
