#include "Clipboard.h"
#include "CloudAddressKeeper.h"
#include "ConnectionPromptDialog.h"
#include "HostControls.h"
#include "DesktopBackend.h"
#include "KivrenApp.h"
#include "KivrenClient.h"
#include "KivrenField.h"
#include "KivrenGhost.h"
#include "KivrenHome.h"
#include "KivrenIds.h"
#include "KivrenTheme.h"
#include "KivrenTunnel.h"
#include "HostIdentity.h"
#include "MacHostService.h"
#include "MacRootView.h"
#include "RemoteDesktopView.h"
#include "RunChoices.h"
#include "SettingsStore.h"
#include "SwitchboardProcess.h"
#include "UiTestSupport.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QMessageBox>
#include <QPointer>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

using namespace std::chrono_literals;

namespace {

const QString kSavedCloud = QStringLiteral("https://saved.example.net");
const QString kOrigin = QStringLiteral("https://warm-river-lamp.trycloudflare.com");

// A host that starts no children and sends its requests to `base` (nothing listens on port 1).
MacHostService::Options hostOptions(SettingsStore &settings,
                                    QString base = QStringLiteral("http://127.0.0.1:1"))
{
    MacHostService::Options options;
    options.settings = &settings;
    options.switchboardBase = std::move(base);
    options.startChildren = false;
    options.tunnelDirectories = {QStringLiteral("/nonexistent/")};
    options.computerName = QStringLiteral("Test Mac");
    options.timing.firstPass = 1h; // no registration unless a test asks for it
    return options;
}

// What a tunnel child prints when its public origin is up.
void reportOrigin(MacHostService &host, const QString &origin)
{
    host.tunnel().handleChunk(QStringLiteral("INF |  %1  |\n").arg(origin).toUtf8());
    ASSERT_TRUE(QTest::qWaitFor([&] { return host.origin() == origin; }, 5000));
}

} // namespace

using PhaseScreen = std::pair<SessionPhase, MacRootView::Screen>;

// A row is named after its phase, which no two rows share.
void PrintTo(const PhaseScreen &row, std::ostream *out)
{
    *out << rawText(row.first).toStdString();
}

class RootScreen : public ::testing::TestWithParam<PhaseScreen> {};

TEST_P(RootScreen, Phase_OnlyLiveShowsTheRemoteDesktop)
{
    EXPECT_EQ(MacRootView::screenFor(GetParam().first), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Phases, RootScreen,
    ::testing::Values(std::pair(SessionPhase::idle, MacRootView::Screen::home),
                      std::pair(SessionPhase::connecting, MacRootView::Screen::home),
                      std::pair(SessionPhase::authenticating, MacRootView::Screen::home),
                      std::pair(SessionPhase::live, MacRootView::Screen::remote),
                      std::pair(SessionPhase::reconnecting, MacRootView::Screen::home),
                      std::pair(SessionPhase::failed, MacRootView::Screen::home)),
    [](const auto &info) { return rawText(info.param.first).toStdString(); });

// Host, client and root view over one temporary settings file; the cloud address saved
// beforehand (if any) is what an earlier run left.
class Root : public ::testing::Test
{
protected:
    QTemporaryDir dir;
    SettingsStore settings{dir.filePath(QStringLiteral("settings.ini"))};
    std::unique_ptr<MacHostService> host;
    std::unique_ptr<KivrenClient> client;
    std::unique_ptr<CloudAddressKeeper> cloudAddress;
    std::unique_ptr<MacRootView> root;

    void start(std::optional<QString> savedCloud, std::optional<QString> originFirst = {})
    {
        if (savedCloud)
            settings.setText(KivrenClient::cloudKey, *savedCloud);
        host = std::make_unique<MacHostService>(hostOptions(settings));
        client = std::make_unique<KivrenClient>(settings, QStringLiteral("Test Mac"));
        if (originFirst)
            reportOrigin(*host, *originFirst);
        cloudAddress = std::make_unique<CloudAddressKeeper>(*host, *client);
        root = std::make_unique<MacRootView>(*host, *client);
        root->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(root.get()));
    }

    QLabel *hint() const { return root->home()->findChild<QLabel *>(QStringLiteral("cloudHint")); }
};

struct AppearCase
{
    const char *name;
    std::optional<QString> savedCloud;
    std::optional<QString> origin;
    QString cloudAfter;
    std::optional<QString> storedAfter; // checked without an origin (the host stores that itself)
};

void PrintTo(const AppearCase &row, std::ostream *out)
{
    *out << row.name;
}

class RootAppearance : public Root, public ::testing::WithParamInterface<AppearCase> {};

TEST_P(RootAppearance, Home_GivesAViewerWithoutCloudAddressOne)
{
    start(GetParam().savedCloud, GetParam().origin);
    EXPECT_EQ(root->screen(), MacRootView::Screen::home);
    EXPECT_EQ(client->cloudURL(), GetParam().cloudAfter);
    // (A reported origin is also stored by the host itself, so only check the store without one.)
    if (!GetParam().origin)
        EXPECT_EQ(settings.text(KivrenClient::cloudKey), GetParam().storedAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RootAppearance,
    // The loopback address is lent, not saved: a later run must prove its switchboard first.
    ::testing::Values(AppearCase{"NothingKnown", std::nullopt, std::nullopt,
                                 QStringLiteral("http://127.0.0.1:17880"), std::nullopt},
                      AppearCase{"SavedSurvives", kSavedCloud, std::nullopt, kSavedCloud, kSavedCloud},
                      AppearCase{"PublicOriginKnown", std::nullopt, kOrigin, kOrigin},
                      AppearCase{"SavedBeatsKnownOrigin", kSavedCloud, kOrigin, kSavedCloud}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Root, Origin_ReplacesTheSavedCloudAndSwitchesTheHint)
{
    start(kSavedCloud);
    EXPECT_EQ(hint()->text(), QStringLiteral("Connections to this computer go through KivrenRemote on it: keep it open."));
    client->setCloudURL(QStringLiteral("http://typed.but.not.saved"));

    reportOrigin(*host, kOrigin);
    EXPECT_EQ(client->cloudURL(), kOrigin);
    EXPECT_EQ(hint()->text(), QStringLiteral("Phone cloud address: ") + kOrigin);
    EXPECT_EQ(root->home()->findChild<KivrenField *>(QStringLiteral("cloudField"))->text(), kOrigin);
}

TEST_F(Root, Home_ShowsTheHostAndRunsItsActions)
{
    start(kSavedCloud);
    KivrenHome *home = root->home();
    ASSERT_NE(home, nullptr);
    EXPECT_EQ(home->findChild<QLabel *>(QStringLiteral("hostId"))->text(),
              KivrenIds::formatId(host->publicId()));
    EXPECT_EQ(home->findChild<QLabel *>(QStringLiteral("hostStatus"))->text(),
              QStringLiteral("Getting ready\u2026"));

    QTest::mouseClick(home->findChild<QAbstractButton *>(QStringLiteral("copyId")), Qt::LeftButton);
    EXPECT_EQ(Clipboard::plainText(), KivrenIds::formatId(host->publicId()));
    QTest::mouseClick(home->findChild<QAbstractButton *>(QStringLiteral("copyPassword")), Qt::LeftButton);
    EXPECT_EQ(Clipboard::plainText(), host->password());

    const QString before = host->password();
    QTest::mouseClick(home->findChild<QAbstractButton *>(QStringLiteral("newPassword")), Qt::LeftButton);
    EXPECT_NE(host->password(), before);
    EXPECT_EQ(home->findChild<QLabel *>(QStringLiteral("hostPassword"))->text(), host->password());
}

// The person at this computer: ask mode chosen on the card, the question about a viewer with
// Allow, the session listed with End, and New asking first while a session is live.
TEST_F(Root, Home_AskModePromptSessionListAndNewPassword)
{
    start(kSavedCloud);
    KivrenHome *home = root->home();
    auto *askMode = home->findChild<QComboBox *>(QStringLiteral("askMode"));
    ASSERT_NE(askMode, nullptr);
    EXPECT_EQ(askMode->currentText(), HostControls::allowWithPassword);
    askMode->setCurrentIndex(1);
    emit askMode->activated(1);
    EXPECT_TRUE(host->askFirst());
    EXPECT_EQ(settings.text(MacHostService::askFirstKey), QStringLiteral("true"));
    EXPECT_EQ(askMode->currentText(), HostControls::askEachTime);

    host->begin({{QStringLiteral("s1"), QStringLiteral("t1")}, QStringLiteral("Pixel"), QStringLiteral("android"),
                 QStringLiteral("203.0.113.9")});
    QPointer<ConnectionPromptDialog> prompt = root->findChild<ConnectionPromptDialog *>(QStringLiteral("connectionPrompt"));
    ASSERT_NE(prompt, nullptr);
    EXPECT_TRUE(prompt->isVisible());
    EXPECT_EQ(prompt->findChild<QLabel *>(QStringLiteral("promptQuestion"))->text(),
              QStringLiteral("Pixel (android) wants to see and control this computer, from 203.0.113.9."));
    EXPECT_FALSE(host->live());
    root->resize(MacRootView::kFirstSize);
    QTest::qWait(0);
    EXPECT_FALSE(QImage(UiTestSupport::saveScreenshot(*prompt, QStringLiteral("host-connection-prompt"))).isNull());
    QTest::mouseClick(prompt->findChild<QAbstractButton *>(QStringLiteral("allowViewer")), Qt::LeftButton);
    EXPECT_TRUE(host->live());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !prompt; }, 5000));

    QWidget *row = home->findChild<QWidget *>(QStringLiteral("liveSession"));
    ASSERT_NE(row, nullptr);
    const QString rowText = row->findChild<QLabel *>()->text();
    EXPECT_TRUE(rowText.startsWith(QStringLiteral("Pixel (android) \u00B7 since "))) << rowText.toStdString();
    EXPECT_TRUE(rowText.endsWith(QStringLiteral("from 203.0.113.9 \u00B7 Not encrypted"))) << rowText.toStdString();
    QTest::qWait(0);
    EXPECT_FALSE(QImage(UiTestSupport::saveScreenshot(*home->findChild<QWidget *>(QStringLiteral("thisDevice")),
                                                      QStringLiteral("host-live-sessions")))
                     .isNull());

    // New with a session live: asked first; Cancel keeps both.
    const QString before = host->password();
    QTest::mouseClick(home->findChild<QAbstractButton *>(QStringLiteral("newPassword")), Qt::LeftButton);
    QPointer<QMessageBox> confirm = root->findChild<QMessageBox *>(QStringLiteral("confirmNewPassword"));
    ASSERT_NE(confirm, nullptr);
    QTest::mouseClick(confirm->button(QMessageBox::Cancel), Qt::LeftButton);
    EXPECT_EQ(host->password(), before);
    EXPECT_TRUE(host->live());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !confirm; }, 5000));
    QTest::mouseClick(home->findChild<QAbstractButton *>(QStringLiteral("newPassword")), Qt::LeftButton);
    QPointer<QMessageBox> again = root->findChild<QMessageBox *>(QStringLiteral("confirmNewPassword"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return again && again->isVisible(); }, 5000));
    QTest::mouseClick(again->findChild<QAbstractButton *>(QStringLiteral("confirmNewPasswordEnd")), Qt::LeftButton);
    EXPECT_NE(host->password(), before);
    EXPECT_FALSE(host->live());
    EXPECT_TRUE(host->sessions().isEmpty());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !home->findChild<QWidget *>(QStringLiteral("liveSession")); }, 5000));

    // Refused from the dialog: nobody let in, the attempt logged and listed.
    host->begin({{QStringLiteral("s2"), QStringLiteral("t2")}, QStringLiteral("Mallory")});
    prompt = root->findChild<ConnectionPromptDialog *>(QStringLiteral("connectionPrompt"));
    ASSERT_NE(prompt, nullptr);
    QTest::mouseClick(prompt->findChild<QAbstractButton *>(QStringLiteral("refuseViewer")), Qt::LeftButton);
    EXPECT_FALSE(host->live());
    // The rows before go once the event loop comes round.
    ASSERT_TRUE(QTest::qWaitFor([&] { return home->findChildren<QLabel *>(QStringLiteral("attempt")).size() == 2; }, 5000));
    const QList<QLabel *> attempts = home->findChildren<QLabel *>(QStringLiteral("attempt"));
    EXPECT_TRUE(attempts.first()->text().endsWith(QStringLiteral("Mallory \u00B7 Refused"))) << attempts.first()->text().toStdString();
    EXPECT_TRUE(attempts.last()->text().endsWith(QStringLiteral("Pixel (android) \u00B7 from 203.0.113.9 \u00B7 Allowed")));
    host->setAskFirst(false);
    QTest::qWait(0);
    EXPECT_FALSE(QImage(UiTestSupport::saveScreenshot(*home->findChild<QWidget *>(QStringLiteral("thisDevice")),
                                                      QStringLiteral("host-attempt-log")))
                     .isNull());
}

// The host's card carries the person's run choices: the autostart entry comes and goes with its
// toggle, and while closing does not quit the window says so and offers Quit.
TEST_F(Root, Home_RunTogglesWriteTheChoicesAndSayWhatClosingDoes)
{
    start(kSavedCloud);
    const QString autostart = dir.filePath(QStringLiteral("autostart"));
    RunChoices choices({&settings, AutostartEntry(autostart), QStringLiteral("/usr/bin/KivrenRemote"),
                        {QStringLiteral("--minimized")}});
    int quits = 0;
    root->setRunChoices(&choices, [&] { ++quits; });
    const auto child = [&](const char *name) { return root->home()->findChild<QWidget *>(QString::fromLatin1(name)); };
    auto *startAtLogin = qobject_cast<QCheckBox *>(child("startAtLogin"));
    auto *keepHosting = qobject_cast<QCheckBox *>(child("keepHosting"));
    ASSERT_TRUE(startAtLogin && keepHosting);
    EXPECT_TRUE(startAtLogin->isVisible());
    EXPECT_FALSE(startAtLogin->isChecked());
    EXPECT_FALSE(child("runNote")->isVisible());
    EXPECT_FALSE(child("quitApp")->isVisible());

    const QString entry = autostart + QStringLiteral("/kivrenremote.desktop");
    QTest::mouseClick(startAtLogin, Qt::LeftButton, {}, QPoint(8, startAtLogin->height() / 2));
    EXPECT_TRUE(QFile::exists(entry));
    EXPECT_TRUE(startAtLogin->isChecked());
    QTest::mouseClick(startAtLogin, Qt::LeftButton, {}, QPoint(8, startAtLogin->height() / 2));
    EXPECT_FALSE(QFile::exists(entry));
    EXPECT_FALSE(startAtLogin->isChecked());

    QTest::mouseClick(keepHosting, Qt::LeftButton, {}, QPoint(8, keepHosting->height() / 2));
    EXPECT_TRUE(choices.keepsHostingWhenClosed());
    EXPECT_TRUE(keepHosting->isChecked());
    auto *note = qobject_cast<QLabel *>(child("runNote"));
    EXPECT_TRUE(note->isVisible());
    EXPECT_EQ(note->text(), MacRootView::runNoteFor(true, {})->text);
    EXPECT_TRUE(note->text().contains(QStringLiteral("this computer"))) << note->text().toStdString();
    ASSERT_TRUE(child("quitApp")->isVisible());
    QTest::mouseClick(qobject_cast<QAbstractButton *>(child("quitApp")), Qt::LeftButton);
    EXPECT_EQ(quits, 1);
    // The rows that appeared are laid out by a posted request.
    QCoreApplication::processEvents();
    UiTestSupport::saveScreenshot(*root, QStringLiteral("home-run-choices"));
}

// Closing the window quits unless the person chose to keep hosting; then the window only goes
// out of the way (minimised here, where there is no tray) and the host runs on.
TEST(KivrenApp, Close_QuitsUnlessHostingIsKept)
{
    QTemporaryDir dir;
    SettingsStore settings(dir.filePath(QStringLiteral("settings.ini")));
    KivrenApp app(settings, QStringLiteral("Test Mac"), hostOptions(settings), dir.filePath(QStringLiteral("autostart")));
    ASSERT_EQ(app.trayIcon(), nullptr) << "this test's platform has no tray";
    app.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&app.window()));

    app.runChoices().setKeepsHostingWhenClosed(true);
    EXPECT_FALSE(app.window().close());
    EXPECT_TRUE(app.window().isVisible());
    EXPECT_TRUE(app.window().isMinimized());

    app.runChoices().setKeepsHostingWhenClosed(false);
    app.window().showNormal();
    EXPECT_TRUE(app.window().close());
    EXPECT_FALSE(app.window().isVisible());
}

TEST(KivrenApp, Window_AtLeastItsMinimumOverTheBackground)
{
    QTemporaryDir dir;
    SettingsStore settings(dir.filePath(QStringLiteral("settings.ini")));
    settings.setText(KivrenClient::cloudKey, kSavedCloud);
    KivrenApp app(settings, QStringLiteral("Test Mac"), hostOptions(settings), dir.filePath(QStringLiteral("autostart")));
    app.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&app.window()));
    EXPECT_EQ(app.window().minimumSize(), MacRootView::kMinimumSize);
    app.window().resize(300, 200);
    EXPECT_EQ(app.window().size(), MacRootView::kMinimumSize);
    EXPECT_EQ(app.window().screen(), MacRootView::Screen::home);
    EXPECT_EQ(app.client().cloudURL(), kSavedCloud);
    // The identity the host made is the one the window shows.
    EXPECT_EQ(settings.text(HostIdentity::idKey), app.host().publicId());
    const QImage shot = app.window().grab().toImage();
    EXPECT_EQ(shot.pixel(3, shot.height() - 3), KivrenTheme::bg().rgb());
}

namespace {

// A 1280 × 800 desktop showing the sample picture, recording the pointer events it is given.
class PictureDesktop : public DesktopBackend
{
public:
    QImage picture = UiTestSupport::samplePicture({1280, 800});
    std::vector<std::pair<MouseEvent, QPointF>> mouse;

    std::optional<ScreenImage> captureMainDisplay() override
    {
        auto copy = std::make_shared<QImage>(picture);
        return ScreenImage{copy->width(), copy->height(), int(copy->bytesPerLine()), copy->constBits(), copy};
    }
    QRectF mainDisplayBounds() override { return QRectF(0, 0, 1280, 800); }
    void warpPointer(QPointF) override {}
    void postMouse(MouseEvent type, QPointF point, std::int64_t) override { mouse.emplace_back(type, point); }
    void postScroll(QPointF, std::int32_t) override {}
    void postKey(NamedKey, bool) override {}
    qsizetype typeText(const QString &text) override { return text.size(); }
    void holdModifiers(KeyModifiers) override {}
};

} // namespace

// This machine views a host through a real switchboard: the root view swaps to the remote
// desktop, shows its pictures, carries a click to the host, and swaps back on End.
TEST(RootLive, Session_SwapsScreensCarriesClicksAndKeepsTheCloudAddress)
{
    SwitchboardProcess switchboard;
    ASSERT_TRUE(switchboard.running());
    QTemporaryDir hostDir, viewerDir;
    SettingsStore hostSettings(hostDir.filePath(QStringLiteral("host.ini")));
    SettingsStore viewerSettings(viewerDir.filePath(QStringLiteral("viewer.ini")));
    viewerSettings.setText(KivrenClient::cloudKey, switchboard.origin());

    PictureDesktop desktop;
    MacHostService::Options options = hostOptions(hostSettings, switchboard.origin());
    options.desktop = &desktop;
    options.timing.firstPass = 10ms;
    options.timing.period = 200ms;
    MacHostService host(options);
    KivrenClient client(viewerSettings, QStringLiteral("Test Mac"));
    CloudAddressKeeper cloudAddress(host, client);
    MacRootView root(host, client);
    root.resize(960, 640);
    root.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&root));
    ASSERT_TRUE(QTest::qWaitFor([&] { return host.status().startsWith(QStringLiteral("Waiting for an internet address")); }, 10000));

    // Connect from the home screen's fields, as a user would. Here one window stands for both
    // machines: the viewer is told it has no ID of its own, which a real one would refuse.
    client.setOwnId(QString());
    KivrenHome *home = root.home();
    QTest::keyClicks(home->findChild<KivrenField *>(QStringLiteral("remoteId")), host.publicId());
    QTest::keyClicks(home->findChild<KivrenField *>(QStringLiteral("remotePassword")), host.password());
    QTest::mouseClick(home->findChild<QAbstractButton *>(QStringLiteral("connect")), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return root.screen() == MacRootView::Screen::remote; }, 10000))
        << client.status().toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !client.frame().isNull(); }, 10000));
    QTest::qWait(50);
    RemoteDesktopView *remote = root.remote();
    ASSERT_NE(remote, nullptr);
    UiTestSupport::saveScreenshot(root, QStringLiteral("remote-desktop"));

    // A click in the middle of the picture area reaches the host's desktop in its middle.
    QWidget *area = remote->pictureArea();
    const QPoint middle = area->mapTo(&root, QPoint(area->width() / 2, area->height() / 2));
    QTest::mouseClick(root.windowHandle(), Qt::LeftButton, Qt::NoModifier, middle);
    auto posted = [&](DesktopBackend::MouseEvent type) -> std::optional<QPointF> {
        for (const auto &[t, at] : desktop.mouse)
            if (t == type)
                return at;
        return std::nullopt;
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return posted(DesktopBackend::MouseEvent::LeftUp).has_value(); }, 10000));
    const QPointF down = posted(DesktopBackend::MouseEvent::LeftDown).value_or(QPointF(-1, -1));
    EXPECT_NEAR(down.x(), 640, 2);
    EXPECT_NEAR(down.y(), 400, 2);

    // An origin learned while the remote desktop shows does not reach the viewer...
    reportOrigin(host, kOrigin);
    EXPECT_EQ(client.cloudURL(), switchboard.origin());

    // ...nor after End brings the home screen back, since an address is already set.
    QTest::mouseClick(remote->endButton(), Qt::LeftButton);
    EXPECT_EQ(client.phase(), SessionPhase::idle);
    EXPECT_EQ(root.screen(), MacRootView::Screen::home);
    ASSERT_NE(root.home(), nullptr);
    EXPECT_EQ(client.cloudURL(), switchboard.origin());
    EXPECT_EQ(root.home()->findChild<QLabel *>(QStringLiteral("cloudHint"))->text(),
              QStringLiteral("Phone cloud address: ") + kOrigin);
    // The address book gained the machine, and the home screen shows it.
    EXPECT_EQ(client.book().size(), 1);
    EXPECT_EQ(root.home()->findChildren<QAbstractButton *>(QStringLiteral("bookRow")).size(), 1);
}

struct FirstSizeCase
{
    const char *name;
    QSize available;
    QSize first;
};

void PrintTo(const FirstSizeCase &row, std::ostream *out)
{
    *out << row.name;
}

class RootFirstSize : public ::testing::TestWithParam<FirstSizeCase> {};

// The window opens at its preferred size where there is room, within 90 % of the screen's free
// area where there is not, and never below its minimum.
TEST_P(RootFirstSize, FirstSize_FitsTheScreen)
{
    EXPECT_EQ(MacRootView::firstSizeFor(GetParam().available), GetParam().first);
}

INSTANTIATE_TEST_SUITE_P(
    Screens, RootFirstSize,
    ::testing::Values(FirstSizeCase{"FullHd", {1920, 1050}, {960, 680}},
                      FirstSizeCase{"Laptop1366x768WithPanel", {1366, 740}, {960, 666}},
                      FirstSizeCase{"FullHdAtScale2", {960, 540}, {864, 486}},
                      FirstSizeCase{"SmallerThanTheMinimum", {400, 300}, {420, 400}}),
    [](const auto &info) { return std::string(info.param.name); });
