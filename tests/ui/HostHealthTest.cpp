// What the home screen says about this host when a piece is missing or fails: the real launcher
// (real node and switchboard script, or none) on a free loopback port, fake tunnel tools in a
// temporary folder, and the window's status line and dot as a user sees them.
#include "CloudAddressKeeper.h"
#include "DesktopBackend.h"
#include "KivrenClient.h"
#include "KivrenCloudProcess.h"
#include "KivrenHome.h"
#include "KivrenIds.h"
#include "KivrenGhost.h"
#include "KivrenAPI.h"
#include "LocalSwitchboard.h"
#include "SwitchboardChild.h"
#include "KivrenTheme.h"
#include "MacHostService.h"
#include "SessionAdmission.h"
#include "MacRootView.h"
#include "SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <QCoroTask>

#include <chrono>
#include <csignal>
#include <memory>

using namespace std::chrono_literals;

namespace {

enum class Tunnel { none, exits, silent, publishes, impostor };

struct HealthCase
{
    const char *name;
    bool node;
    bool portTaken;
    Tunnel tunnel;
    QString status; // "%1": the port; "%2": the formatted ID; "%3": the test's folder
    StatusTone tone;
    bool script = true; // false: the switchboard is not where the launcher looks
};

void PrintTo(const HealthCase &row, std::ostream *out)
{
    *out << row.name;
}

QByteArray toolScript(Tunnel tunnel)
{
    switch (tunnel) {
    case Tunnel::none:
        break;
    case Tunnel::exits:
        return "exit 1\n";
    case Tunnel::silent:
        return "exec sleep 300\n";
    case Tunnel::publishes:
        return "echo 'INF |  https://calm-sea.trycloudflare.com  |'\nexec sleep 300\n";
    case Tunnel::impostor:
        // As ssh says it when the service's key is not the one it kept.
        return "echo 'Host key for [a.pinggy.io]:443 has changed and you have requested strict checking.' >&2\n"
               "echo 'Host key verification failed.' >&2\nexit 255\n";
    }
    return {};
}

// The tunnel tool a row runs: ssh for the one that meets an impostor, else cloudflared.
QString toolName(Tunnel tunnel)
{
    return tunnel == Tunnel::impostor ? QStringLiteral("ssh") : QStringLiteral("cloudflared");
}

void writeTool(const QString &path, const QByteArray &body)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\n" + body);
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// The host with the launcher looking at this folder, its client and the window.
class HostHealth : public ::testing::Test
{
protected:
    void TearDown() override
    {
        root.reset();
        cloudAddress.reset();
        client.reset();
        host.reset();
        KivrenCloudProcess::stop();
        QTest::qWait(50);
    }

    MacHostService::Options options(bool node, quint16 port)
    {
        MacHostService::Options o;
        o.settings = &settings;
        o.switchboardPort = port;
        o.launcherRoots.home = dir.filePath(QStringLiteral("home"));
        o.launcherRoots.nodeCandidates = {node ? QStringLiteral(KIVREN_NODE) : dir.filePath(QStringLiteral("no/node"))};
        o.launcherRoots.shippedScript = QStringLiteral(KIVREN_SOURCE_DIR "/cloud/server.mjs");
        o.tunnelDirectories = {dir.filePath(QStringLiteral("tools")) + QLatin1Char('/')};
        o.tunnelTiming = {300ms, 100ms, 400ms};
        o.switchboardRestart = {100ms, 400ms};
        o.computerName = QStringLiteral("Test computer");
        o.timing = {20ms, 100ms, 10ms, 20ms};
        return o;
    }

    void start(MacHostService::Options o)
    {
        host = std::make_unique<MacHostService>(std::move(o));
        client = std::make_unique<KivrenClient>(settings, QStringLiteral("Test computer"));
        cloudAddress = std::make_unique<CloudAddressKeeper>(*host, *client);
        root = std::make_unique<MacRootView>(*host, *client);
        root->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(root.get()));
    }

    QString shownStatus() const { return root->home()->findChild<QLabel *>(QStringLiteral("hostStatus"))->text(); }
    QColor shownDot() const
    {
        const QImage dot = root->home()->findChild<QLabel *>(QStringLiteral("hostStatusDot"))->pixmap().toImage();
        return dot.pixelColor(dot.width() / 2, dot.height() / 2);
    }

    QTemporaryDir dir;
    SettingsStore settings{dir.filePath(QStringLiteral("settings.ini"))};
    std::unique_ptr<MacHostService> host;
    std::unique_ptr<KivrenClient> client;
    std::unique_ptr<CloudAddressKeeper> cloudAddress;
    std::unique_ptr<MacRootView> root;
};

class HostHealthTable : public HostHealth, public ::testing::WithParamInterface<HealthCase>
{
};

TEST_P(HostHealthTable, Status_SaysWhatIsWrongInTextAndColour)
{
    const HealthCase &row = GetParam();
    QDir().mkpath(dir.filePath(QStringLiteral("tools")));
    if (row.tunnel != Tunnel::none)
        writeTool(dir.filePath(QStringLiteral("tools/") + toolName(row.tunnel)), toolScript(row.tunnel));
    // Another program on the port the switchboard is told to use.
    QTcpServer other;
    ASSERT_TRUE(other.listen(QHostAddress::LocalHost));
    int otherHeard = 0;
    QObject::connect(&other, &QTcpServer::newConnection, [&] { ++otherHeard; });

    MacHostService::Options o = options(row.node, row.portTaken ? other.serverPort() : 0);
    if (!row.script)
        o.launcherRoots.shippedScript = dir.filePath(QStringLiteral("share/kivrenremote/server.mjs"));
    start(std::move(o));
    const QString expected =
        QString(row.status).replace(QStringLiteral("%1"), QString::number(other.serverPort()))
            .replace(QStringLiteral("%2"), KivrenIds::formatId(host->publicId()))
            .replace(QStringLiteral("%3"), dir.path());

    EXPECT_TRUE(QTest::qWaitFor([&] { return host->status() == expected; }, 20000)) << host->status().toStdString();
    EXPECT_EQ(host->statusTone(), row.tone);
    EXPECT_EQ(shownStatus(), expected);
    const QColor dot = row.tone == StatusTone::ok ? KivrenTheme::ok()
        : row.tone == StatusTone::warning         ? KivrenTheme::warning()
                                                  : KivrenTheme::danger();
    EXPECT_EQ(shownDot().rgb(), dot.rgb());
    // Only a switchboard that listens and answers as this launch's child is ever talked to.
    EXPECT_EQ(host->switchboardProven(), row.node && row.script && !row.portTaken);
    EXPECT_EQ(otherHeard, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, HostHealthTable,
    ::testing::Values(
        HealthCase{"NoNode", false, false, Tunnel::publishes, QStringLiteral("Other computers cannot reach this one: install the nodejs package, which KivrenRemote needs"),
                   StatusTone::error},
        HealthCase{"NoScript", true, false, Tunnel::publishes,
                   QStringLiteral("KivrenRemote is incomplete (%3/share/kivrenremote/server.mjs is missing): reinstall it"),
                   StatusTone::error, false},
        HealthCase{"PortTaken", true, true, Tunnel::publishes, QStringLiteral("port %1 is in use by another program"),
                   StatusTone::error},
        HealthCase{"NoTunnelTool", true, false, Tunnel::none,
                   QStringLiteral("Other computers cannot reach this one: install cloudflared or openssh-client to give it an internet address"), StatusTone::warning},
        HealthCase{"TunnelExits", true, false, Tunnel::exits, QStringLiteral("No internet connection: other computers cannot reach this one yet. KivrenRemote keeps trying; the ID and password stay the same"),
                   StatusTone::warning},
        HealthCase{"TunnelPrintsNoOrigin", true, false, Tunnel::silent,
                   QStringLiteral("No internet connection: other computers cannot reach this one yet. KivrenRemote keeps trying; the ID and password stay the same"), StatusTone::warning},
        HealthCase{"TunnelServiceImpostor", true, false, Tunnel::impostor,
                   QStringLiteral("The service that gives this computer its internet address is not the one it was before: for safety, other computers cannot reach this one"),
                   StatusTone::error},
        HealthCase{"AllWorks", true, false, Tunnel::publishes, QStringLiteral("Ready anywhere \u00B7 %2"),
                   StatusTone::ok}),
    [](const auto &info) { return std::string(info.param.name); });

// The switchboard child dies as in a crash: nothing is sent to the port meanwhile, the viewer's
// lent loopback address is taken back and the tunnel stops; a new child is launched with a key of
// its own, proven, and this host registers with it. The viewer is lent the loopback address only
// while a switchboard is proven, and never keeps it in its settings.
TEST_F(HostHealth, Switchboard_KilledChildRestartedAndBackOnline)
{
    int lentEarly = 0;
    MacHostService::Options o = options(true, 0);
    // Long enough for the window to show the restart.
    o.switchboardRestart = {500ms, 2s};
    start(std::move(o));
    QObject::connect(client.get(), &KivrenClient::cloudURLChanged, [&](const QString &url) {
        if (!host->switchboardProven() && !url.isEmpty())
            ++lentEarly;
    });
    if (!host->switchboardProven())
        EXPECT_EQ(client->cloudURL(), QString());
    const QString registered = QStringLiteral("Other computers cannot reach this one: install cloudflared or openssh-client to give it an internet address");
    ASSERT_TRUE(QTest::qWaitFor([&] { return host->status() == registered; }, 20000)) << host->status().toStdString();
    EXPECT_EQ(client->cloudURL(), KivrenClient::loopbackOrigin());
    EXPECT_EQ(settings.text(KivrenClient::cloudKey), std::nullopt);
    auto *hint = root->home()->findChild<QLabel *>(QStringLiteral("cloudHint"));
    EXPECT_EQ(hint->text(), QStringLiteral("Connections to this computer go through KivrenRemote on it: keep it open."));
    SwitchboardChild *first = KivrenCloudProcess::process();
    ASSERT_NE(first, nullptr);
    const qint64 firstPid = first->processId();
    const QByteArray firstKey = first->hostKey().environmentValue();

    ::kill(static_cast<pid_t>(firstPid), SIGKILL);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !host->switchboardProven(); }, 10000));
    const QString restarting = QStringLiteral("A part of KivrenRemote stopped: starting it again\u2026");
    EXPECT_EQ(host->status(), restarting);
    EXPECT_EQ(host->statusTone(), StatusTone::warning);
    EXPECT_EQ(shownStatus(), restarting);
    EXPECT_EQ(shownDot().rgb(), KivrenTheme::warning().rgb());
    EXPECT_EQ(client->cloudURL(), QString());
    EXPECT_EQ(host->tunnel().state(), KivrenTunnel::State::idle);
    // No longer the switchboard: the hint goes back to asking for a cloud address.
    EXPECT_EQ(hint->text(), KivrenHome::defaultHint());

    ASSERT_TRUE(QTest::qWaitFor([&] { return host->status() == registered; }, 20000)) << host->status().toStdString();
    EXPECT_TRUE(host->switchboardProven());
    SwitchboardChild *second = KivrenCloudProcess::process();
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second->processId(), firstPid);
    EXPECT_NE(second->hostKey().environmentValue(), firstKey);
    EXPECT_EQ(client->cloudURL(), KivrenClient::loopbackOrigin());
    EXPECT_EQ(lentEarly, 0);
    // The new switchboard knows this host and finds it online.
    KivrenAPI viewer(LocalSwitchboard::loopbackOrigin(second->listeningPort()));
    const KivrenAnswer lookup = QCoro::waitFor(viewer.post(QStringLiteral("lookup"), {{"id", host->publicId()}}));
    EXPECT_TRUE(lookup.object.value("found").toBool());
    EXPECT_TRUE(lookup.object.value("online").toBool());
}

// A second app on this computer finds the port taken by the first; once the first lets go, the
// second's switchboard gets the port at a later attempt and its host is online.
TEST_F(HostHealth, Switchboard_PortFreedLaterIsTaken)
{
    QTcpServer other;
    ASSERT_TRUE(other.listen(QHostAddress::LocalHost));
    const quint16 port = other.serverPort();
    start(options(true, port));
    const QString taken = QStringLiteral("port %1 is in use by another program").arg(port);
    ASSERT_TRUE(QTest::qWaitFor([&] { return host->status() == taken; }, 20000)) << host->status().toStdString();

    other.close();

    const QString registered = QStringLiteral("Other computers cannot reach this one: install cloudflared or openssh-client to give it an internet address");
    ASSERT_TRUE(QTest::qWaitFor([&] { return host->status() == registered; }, 20000)) << host->status().toStdString();
    EXPECT_TRUE(host->switchboardProven());
    EXPECT_EQ(KivrenCloudProcess::process()->listeningPort(), port);
}

// A desktop whose screen sharing the test moves through its states, as a Wayland one reports
// them (the portal's dialog, a refusal, a broken service).
class SharingDesktop final : public DesktopBackend
{
public:
    std::optional<ScreenImage> captureMainDisplay() override { return std::nullopt; }
    QRectF mainDisplayBounds() override { return {}; }
    void warpPointer(QPointF) override {}
    void postMouse(MouseEvent, QPointF, std::int64_t) override {}
    void postScroll(QPointF, std::int32_t) override {}
    void postKey(NamedKey, bool) override {}
    qsizetype typeText(const QString &text) override { return text.size(); }
    void holdModifiers(KeyModifiers) override {}
    void requestAccess() override { ++accessRequests; }
    bool asksEveryTime() const override { return everyTime; }

    void drive(State state) { setState(state); }

    bool everyTime = false;
    int accessRequests = 0;
};

struct SharingCase
{
    const char *name;
    DesktopBackend::State state;
    bool everyTime; // Debian 12's portal: no permission kept
    QString status;
    StatusTone tone;
    QString button; // empty: none shown
};

void PrintTo(const SharingCase &row, std::ostream *out)
{
    *out << row.name;
}

class HostSharing : public ::testing::TestWithParam<SharingCase>
{
};

// What the "This device" card says while the desktop sets screen sharing up, waits for the person
// at this computer, or was refused; the button asks the desktop again.
TEST_P(HostSharing, Home_SaysWhatScreenSharingWaitsForAndOffersToAskAgain)
{
    const SharingCase &row = GetParam();
    QTemporaryDir dir;
    SettingsStore settings(dir.filePath(QStringLiteral("settings.ini")));
    SharingDesktop desktop;
    desktop.everyTime = row.everyTime;
    MacHostService::Options o;
    o.settings = &settings;
    o.startChildren = false;
    o.switchboardBase = QStringLiteral("http://127.0.0.1:1");
    o.tunnelDirectories = {QStringLiteral("/nonexistent/")};
    o.timing.firstPass = 1h;
    o.desktop = &desktop;
    MacHostService host(o);
    KivrenClient client(settings, QStringLiteral("Test computer"));
    MacRootView root(host, client);
    root.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&root));

    // Through the desktop's state reports, as they come while the window shows.
    desktop.drive(DesktopBackend::State::Starting);
    desktop.drive(row.state);

    KivrenHome *home = root.home();
    EXPECT_EQ(host.status(), row.status);
    EXPECT_EQ(host.statusTone(), row.tone);
    EXPECT_EQ(home->findChild<QLabel *>(QStringLiteral("hostStatus"))->text(), row.status);
    auto *note = home->findChild<QLabel *>(QStringLiteral("hostSharingNote"));
    EXPECT_EQ(note->isVisibleTo(home), row.everyTime);
    if (row.everyTime)
        EXPECT_EQ(note->text(), SessionAdmission::asksEveryTimeNote());
    auto *button = home->findChild<KivrenGhost *>(QStringLiteral("requestAccess"));
    EXPECT_EQ(button->isVisibleTo(home), !row.button.isEmpty());
    if (row.button.isEmpty())
        return;
    EXPECT_EQ(button->text(), row.button);
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(desktop.accessRequests, 1);
    // Asked again: the desktop sets up anew, and the button goes.
    desktop.drive(DesktopBackend::State::Starting);
    EXPECT_FALSE(button->isVisibleTo(home));
}

INSTANTIATE_TEST_SUITE_P(
    States, HostSharing,
    ::testing::Values(
        SharingCase{"SettingUp", DesktopBackend::State::Starting, false,
                    QStringLiteral("Starting screen sharing\u2026"), StatusTone::warning, {}},
        SharingCase{"WaitingForConsent", DesktopBackend::State::WaitingForConsent, false,
                    QStringLiteral("Waiting for the person at this computer to allow screen sharing"),
                    StatusTone::warning, {}},
        SharingCase{"WaitingOnAPortalThatAsksEveryTime", DesktopBackend::State::WaitingForConsent, true,
                    QStringLiteral("Waiting for the person at this computer to allow screen sharing"),
                    StatusTone::warning, {}},
        SharingCase{"Refused", DesktopBackend::State::Refused, true,
                    QStringLiteral("Screen sharing was not allowed on this computer"), StatusTone::error,
                    QStringLiteral("Ask again")},
        SharingCase{"Broken", DesktopBackend::State::Failed, false,
                    QStringLiteral("Screen sharing could not be set up on this computer"), StatusTone::error,
                    QStringLiteral("Try again")},
        // Shared: the status is the host's usual one (no registration yet here).
        SharingCase{"Shared", DesktopBackend::State::Ready, false, QStringLiteral("Getting ready\u2026"),
                    StatusTone::warning, {}}),
    [](const auto &info) { return std::string(info.param.name); });

// A store that cannot be written: the identity made for this run is used all the same, and
// the window says it will not survive.
TEST(HostSettings, Unwritable_IdentityKeptInMemoryAndNoticeShown)
{
    QTemporaryDir dir;
    // A file where the settings folder should be: nothing can be written below it.
    QFile blocker(dir.filePath(QStringLiteral("config")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    SettingsStore settings(dir.filePath(QStringLiteral("config/settings.ini")));
    MacHostService::Options o;
    o.settings = &settings;
    o.startChildren = false;
    o.switchboardBase = QStringLiteral("http://127.0.0.1:1");
    o.tunnelDirectories = {QStringLiteral("/nonexistent/")};
    o.timing.firstPass = 1h;
    MacHostService host(o);
    KivrenClient client(settings, QStringLiteral("Test computer"));
    MacRootView root(host, client);
    root.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&root));

    EXPECT_EQ(host.notice(), MacHostService::settingsNotSaved);
    auto *notice = root.home()->findChild<QLabel *>(QStringLiteral("hostNotice"));
    ASSERT_NE(notice, nullptr);
    EXPECT_TRUE(notice->isVisibleTo(root.home()));
    EXPECT_EQ(notice->text(), MacHostService::settingsNotSaved);
    // This run keeps one identity, whatever the store says.
    EXPECT_TRUE(KivrenIds::isCompactId(host.publicId()));
    EXPECT_EQ(root.home()->findChild<QLabel *>(QStringLiteral("hostId"))->text(), KivrenIds::formatId(host.publicId()));
    const QString id = host.publicId();
    host.rotatePassword();
    EXPECT_TRUE(KivrenIds::isDisplayPassword(host.password()));
    EXPECT_EQ(host.publicId(), id);
}

} // namespace
