// "Start when I log in", as a desktop session carries it out: the entry the app writes is read
// back the way a session reads it, and its command is run in a session of its own (a private
// Xvfb and a D-Bus session bus from dbus-run-session), with and without a system tray. The host
// must come online without putting a window over the person's work. Also the command line's
// answers that need no desktop. Everything runs inside a loopback-only network namespace.
#include "AutostartEntry.h"
#include "CommandLine.h"
#include "KivrenAPI.h"
#include "LoopbackNamespace.h"
#include "RunChoices.h"
#include "SettingsStore.h"
#include "WaitUntil.h"
#include "XvfbServer.h"

#include <QCoroTask>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <memory>

#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kInnerRunMs = 100000;
// The host's first registration comes 1.2 s after start, once node listens and is proven.
constexpr int kOnlineMs = 40000;
constexpr int kQuitMs = 10000;

QString run(const QString &program, const QStringList &args, const QProcessEnvironment &env, int *status = nullptr)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, args);
    process.waitForFinished(30000);
    if (status)
        *status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return QString::fromUtf8(process.readAllStandardOutput());
}

struct LoginCase
{
    const char *name;
    bool tray;
};

void PrintTo(const LoginCase &row, std::ostream *out)
{
    *out << row.name;
}

class AutostartLogin : public testing::TestWithParam<LoginCase>
{
protected:
    void SetUp() override
    {
        if (!LoopbackNamespace::inside())
            return;
        home = dir.filePath(QStringLiteral("home"));
        QDir().mkpath(home);
        xvfb = std::make_unique<XvfbServer>(1280, 800);
        ASSERT_TRUE(xvfb->running());
    }

    void TearDown() override
    {
        if (session.state() == QProcess::NotRunning)
            return;
        // The session's whole process group: dbus-run-session, its bus, the tray, the app.
        ::kill(-static_cast<pid_t>(session.processId()), SIGTERM);
        if (!session.waitForFinished(kQuitMs)) {
            ::kill(-static_cast<pid_t>(session.processId()), SIGKILL);
            session.waitForFinished(kQuitMs);
        }
    }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), QString::fromStdString(xvfb->name()));
        env.insert(QStringLiteral("HOME"), home);
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), config());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
        env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        env.remove(QStringLiteral("KIVREN_PORT"));
        return env;
    }

    QString config() const { return home + QStringLiteral("/.config"); }

    QString setting(const QString &key) const
    {
        const QSettings settings(config() + QStringLiteral("/KivrenRemote/KivrenRemote.conf"), QSettings::IniFormat);
        return settings.value(key).toString();
    }

    // The KivrenRemote windows on the display: all of them, or those a person sees.
    QStringList windows(bool visibleOnly) const
    {
        QStringList args{QStringLiteral("search")};
        if (visibleOnly)
            args += QStringLiteral("--onlyvisible");
        args += {QStringLiteral("--class"), QStringLiteral("KivrenRemote")};
        return run(QStringLiteral("xdotool"), args, environment()).split(u'\n', Qt::SkipEmptyParts);
    }

    bool online()
    {
        const QString id = setting(QStringLiteral("kivren.id"));
        if (id.isEmpty())
            return false;
        KivrenAPI api(QStringLiteral("http://127.0.0.1:17880"));
        const KivrenAnswer answer = QCoro::waitFor(api.post(QStringLiteral("lookup"), {{QStringLiteral("id"), id}}));
        return answer.ok() && answer.object.value(QStringLiteral("online")).toBool();
    }

    QTemporaryDir dir;
    QString home;
    std::unique_ptr<XvfbServer> xvfb;
    QProcess session;
    QByteArray sessionOutput;
};

TEST_P(AutostartLogin, EntryCommand_StartsTheHostWithoutAWindowOverTheDesktop)
{
    KIVREN_RUN_IN_LOOPBACK_NAMESPACE(kInnerRunMs)

    // The toggle's own path: the app's choices write the entry for this program.
    SettingsStore store(config() + QStringLiteral("/KivrenRemote/KivrenRemote.conf"));
    RunChoices choices({&store, AutostartEntry(AutostartEntry::folderFor(config(), home)), QStringLiteral(KIVREN_APP),
                        CommandLine::unattendedArguments()});
    choices.setStartsAtLogin(true);
    ASSERT_TRUE(choices.startsAtLogin()) << choices.problem().toStdString();

    QFile entry(config() + QStringLiteral("/autostart/kivrenremote.desktop"));
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly)) << "the entry is not where the session looks";
    std::optional<QStringList> command;
    for (const QByteArray &line : entry.readAll().split('\n')) {
        if (line.startsWith("Exec="))
            command = AutostartEntry::commandOf(QString::fromUtf8(line.mid(5)));
    }
    ASSERT_TRUE(command.has_value()) << "no Exec line a session can run";
    EXPECT_EQ(command->first(), QStringLiteral(KIVREN_APP));

    // A login: a session bus, a tray on it where the row has one, then the entry's command.
    QStringList args{QStringLiteral("--")};
    if (GetParam().tray)
        args += {QStringLiteral(KIVREN_TRAY_WATCHER), QStringLiteral("--")};
    args += *command;
    session.setProcessEnvironment(environment());
    session.setChildProcessModifier([] { ::setpgid(0, 0); });
    session.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    session.start(QStringLiteral("dbus-run-session"), args);
    ASSERT_TRUE(session.waitForStarted(10000));

    EXPECT_TRUE(waitUntil([&] { return online(); }, kOnlineMs)) << "the host never came online";
    sessionOutput += session.readAllStandardOutput();
    const QStringList all = windows(false);
    if (GetParam().tray) {
        EXPECT_TRUE(sessionOutput.contains("registered ")) << "no icon in the tray: " << sessionOutput.toStdString();
        EXPECT_TRUE(all.isEmpty()) << "a window was shown although the tray holds the app";
    } else {
        // Without a tray the window is there, minimised: what a window manager keeps off the screen.
        ASSERT_EQ(all.size(), 1);
        const QString hints = run(QStringLiteral("xprop"), {QStringLiteral("-id"), all.first(), QStringLiteral("WM_HINTS"),
                                                            QStringLiteral("_NET_WM_STATE")},
                                  environment());
        EXPECT_TRUE(hints.contains(QStringLiteral("Initial state is Iconic State"))) << hints.toStdString();
        EXPECT_TRUE(hints.contains(QStringLiteral("_NET_WM_STATE_HIDDEN"))) << hints.toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, AutostartLogin, testing::Values(LoginCase{"NoTray", false}, LoginCase{"Tray", true}),
                         [](const testing::TestParamInfo<LoginCase> &info) { return std::string(info.param.name); });

// --help and --version answer without a display (over ssh, in scripts); a mistake is refused
// with status 2 before anything starts.
TEST(AppCommandLine, HelpVersionAndMistakes_AnsweredBeforeAnythingStarts)
{
    KIVREN_RUN_IN_LOOPBACK_NAMESPACE(kInnerRunMs)
    QProcessEnvironment bare = QProcessEnvironment::systemEnvironment();
    bare.remove(QStringLiteral("DISPLAY"));
    bare.remove(QStringLiteral("WAYLAND_DISPLAY"));
    bare.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    int status = -1;
    EXPECT_EQ(run(QStringLiteral(KIVREN_APP), {QStringLiteral("--version")}, bare, &status),
              QStringLiteral("KivrenRemote " KIVREN_VERSION "\n"));
    EXPECT_EQ(status, 0);
    const QString help = run(QStringLiteral(KIVREN_APP), {QStringLiteral("--help")}, bare, &status);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(help.contains(QStringLiteral("--minimized"))) << help.toStdString();

    // Qt's own options are taken before the app's are judged.
    bare.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    run(QStringLiteral(KIVREN_APP), {QStringLiteral("-platform"), QStringLiteral("offscreen"), QStringLiteral("--minimised")},
        bare, &status);
    EXPECT_EQ(status, 2);
}

} // namespace
