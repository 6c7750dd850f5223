// Another program on this computer holds the switchboard's port: before the app starts, or from
// the moment the app's own switchboard is gone. The real KivrenRemote runs with its own settings
// and its own Xvfb, in a loopback-only network namespace the test makes for itself (so port 17880
// itself can be used and no tunnel can reach out). The squatter answers everything as a host
// would love to hear; it must receive no password, no host token and no picture, and the app's
// window must say what is wrong. Once the port is free again, the app's next switchboard takes it
// and the app is online.
#include "KivrenAPI.h"
#include "KivrenTheme.h"
#include "LoopbackNamespace.h"
#include "WaitUntil.h"
#include "X11DesktopBackend.h"
#include "XvfbServer.h"

#include <QCoroTask>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QImage>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <memory>

namespace {

constexpr int kSwitchboardPort = 17880;
constexpr int kInnerRunMs = 170000;
constexpr int kSquatterLifeSeconds = 120;
// Longer than two registration passes (3 s each) after the first one.
constexpr int kListenMs = 8000;
// The longest pause between the app's attempts to start its switchboard (30 s), and a pass.
constexpr int kRecoverMs = 60000;
const QString kHint = QStringLiteral("Connections to this computer go through KivrenRemote on it: keep it open.");

// "<name> <x> <y> <w> <h>" lines from the layout helper.
QHash<QString, QRect> parseLayout(const QString &text)
{
    QHash<QString, QRect> rects;
    for (const QString &line : text.split(u'\n', Qt::SkipEmptyParts)) {
        const QStringList f = line.split(u' ');
        if (f.size() == 5)
            rects.insert(f[0], QRect(f[1].toInt(), f[2].toInt(), f[3].toInt(), f[4].toInt()));
    }
    return rects;
}

QImage screenOf(const std::string &display)
{
    auto desktop = X11DesktopBackend::open(QString::fromStdString(display));
    const auto image = desktop ? desktop->captureMainDisplay() : std::nullopt;
    if (!image)
        return {};
    return QImage(image->pixels, image->width, image->height, image->stride, QImage::Format_RGB32).copy();
}

bool near(const QColor &a, const QColor &b, int tolerance)
{
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance
        && std::abs(a.blue() - b.blue()) <= tolerance;
}

class Squatter : public ::testing::Test
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
        heardLog = dir.filePath(QStringLiteral("heard.log"));
    }

    void TearDown() override
    {
        if (app && app->state() != QProcess::NotRunning) {
            app->terminate();
            if (!app->waitForFinished(10000)) {
                app->kill();
                app->waitForFinished(5000);
            }
        }
        if (squatter.state() != QProcess::NotRunning) {
            squatter.kill();
            squatter.waitForFinished(5000);
        }
    }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), QString::fromStdString(xvfb->name()));
        env.insert(QStringLiteral("HOME"), home);
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("QT_FONT_DPI"), QStringLiteral("96"));
        env.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
        env.remove(QStringLiteral("KIVREN_PORT"));
        return env;
    }

    QString setting(const QString &key) const
    {
        const QSettings settings(home + QStringLiteral("/.config/KivrenRemote/KivrenRemote.conf"), QSettings::IniFormat);
        return settings.value(key).toString();
    }

    void startSquatter()
    {
        squatter.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        squatter.start(QStringLiteral(KIVREN_NODE), {QStringLiteral(KIVREN_SQUATTER), QString::number(kSwitchboardPort),
                                                     heardLog, QString::number(kSquatterLifeSeconds)});
        ASSERT_TRUE(squatter.waitForStarted(10000));
    }

    bool squatting()
    {
        squatterOutput += squatter.readAllStandardOutput();
        return squatterOutput.contains("squatting");
    }

    void launchApp()
    {
        app = std::make_unique<QProcess>();
        app->setProcessEnvironment(environment());
        app->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        app->setStandardOutputFile(QProcess::nullDevice());
        app->start(QStringLiteral(KIVREN_APP), {});
        ASSERT_TRUE(app->waitForStarted(10000));
    }

    QString run(const QString &program, const QStringList &args) const
    {
        QProcess process;
        process.setProcessEnvironment(environment());
        process.start(program, args);
        process.waitForFinished(30000);
        return QString::fromUtf8(process.readAllStandardOutput());
    }

    QRect appWindow() const
    {
        const QString id = run(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                                           QStringLiteral("--class"), QStringLiteral("KivrenRemote")})
                               .section(u'\n', 0, 0)
                               .trimmed();
        if (id.isEmpty())
            return {};
        QHash<QString, int> values;
        const QString shell = run(QStringLiteral("xdotool"), {QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), id});
        for (const QString &line : shell.split(u'\n', Qt::SkipEmptyParts))
            values.insert(line.section(u'=', 0, 0), line.section(u'=', 1).toInt());
        return QRect(values.value(QStringLiteral("X")), values.value(QStringLiteral("Y")), values.value(QStringLiteral("WIDTH")),
                     values.value(QStringLiteral("HEIGHT")));
    }

    // True when the app's window draws `status` in its status line, exactly as the home screen
    // draws that text, next to a dot of the danger colour.
    bool windowSays(const QString &status)
    {
        const QRect window = appWindow();
        const QImage screen = screenOf(xvfb->name());
        const QString id = setting(QStringLiteral("kivren.id"));
        if (window.isEmpty() || screen.isNull() || id.isEmpty())
            return false;
        const QString file = dir.filePath(QStringLiteral("expected-status.png"));
        const auto rects = parseLayout(run(QStringLiteral(KIVREN_WINDOW_LAYOUT),
                                           {QStringLiteral("home"), QString::number(window.width()),
                                            QString::number(window.height()), id,
                                            setting(QStringLiteral("kivren.password")), status, kHint,
                                            QStringLiteral("--grab"), file}));
        const QRect text = rects.value(QStringLiteral("hostStatus"));
        const QRect dot = rects.value(QStringLiteral("hostStatusDot"));
        const QImage expected(file);
        if (text.isEmpty() || dot.isEmpty() || expected.isNull())
            return false;
        const QImage real = screen.copy(window);
        const bool sameText = real.copy(text).convertToFormat(QImage::Format_RGB32)
            == expected.copy(text).convertToFormat(QImage::Format_RGB32);
        return sameText && near(real.pixelColor(dot.center()), KivrenTheme::danger(), 12);
    }

    QByteArray heard() const
    {
        QFile file(heardLog);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // No secret of the app and no picture ever reached the squatter.
    void expectNoSecretHeard()
    {
        const QByteArray log = heard();
        const QString password = setting(QStringLiteral("kivren.password"));
        const QString token = setting(QStringLiteral("kivren.hostToken"));
        ASSERT_EQ(password.size(), 9);
        ASSERT_EQ(token.size(), 48);
        EXPECT_FALSE(log.contains(password.toUtf8()));
        EXPECT_FALSE(log.contains(QString(password).remove(u'-').toUtf8()));
        EXPECT_FALSE(log.contains(token.toUtf8()));
        EXPECT_FALSE(log.contains("jpeg"));
        EXPECT_FALSE(log.contains("/v1/push"));
        EXPECT_FALSE(log.contains("/v1/register"));
        EXPECT_FALSE(log.contains("/v1/heartbeat"));
    }

    QTemporaryDir dir;
    QString home;
    QString heardLog;
    std::unique_ptr<XvfbServer> xvfb;
    std::unique_ptr<QProcess> app;
    QProcess squatter;
    QByteArray squatterOutput;
};

TEST_F(Squatter, PortTakenBeforeStart_AppSendsNothingAndSaysSo)
{
    KIVREN_RUN_IN_LOOPBACK_NAMESPACE(kInnerRunMs)
    startSquatter();
    ASSERT_TRUE(waitUntil([&] { return squatting(); }, 10000)) << "the squatter never got the port";

    launchApp();
    EXPECT_TRUE(waitUntil([&] { return windowSays(QStringLiteral("port 17880 is in use by another program")); }, 40000))
        << "the window never said the port is taken";
    QThread::msleep(kListenMs);

    expectNoSecretHeard();
    // Its own switchboard never listened: the app had nothing to say to anybody on that port.
    EXPECT_TRUE(heard().isEmpty()) << heard().toStdString();

    // The other program goes: a later attempt's switchboard gets the port, and the app's host is
    // proven there and registers.
    squatter.kill();
    squatter.waitForFinished(5000);
    const QString id = setting(QStringLiteral("kivren.id"));
    KivrenAPI api(QStringLiteral("http://127.0.0.1:%1").arg(kSwitchboardPort));
    EXPECT_TRUE(waitUntil([&] {
        const KivrenAnswer answer = QCoro::waitFor(api.post(QStringLiteral("lookup"), {{QStringLiteral("id"), id}}));
        return answer.ok() && answer.object.value(QStringLiteral("online")).toBool();
    }, kRecoverMs)) << "the app never took the port once it was free";
}

TEST_F(Squatter, PortTakenWhenSwitchboardDies_AppSendsNothingMoreAndSaysSo)
{
    KIVREN_RUN_IN_LOOPBACK_NAMESPACE(kInnerRunMs)
    launchApp();
    // The app's switchboard serves and knows the app's host.
    QString id;
    ASSERT_TRUE(waitUntil([&] { return !(id = setting(QStringLiteral("kivren.id"))).isEmpty(); }, 20000));
    KivrenAPI api(QStringLiteral("http://127.0.0.1:%1").arg(kSwitchboardPort));
    ASSERT_TRUE(waitUntil([&] {
        const KivrenAnswer answer = QCoro::waitFor(api.post(QStringLiteral("lookup"), {{QStringLiteral("id"), id}}));
        return answer.ok() && answer.object.value(QStringLiteral("online")).toBool();
    }, 30000)) << "the app never registered with its switchboard";

    // The squatter waits for the port; the switchboard dies.
    startSquatter();
    QDir proc(QStringLiteral("/proc"));
    qint64 node = 0;
    for (const QString &entry : proc.entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(entry));
        if (!stat.open(QIODevice::ReadOnly) || !cmdline.open(QIODevice::ReadOnly))
            continue;
        const QString text = QString::fromLatin1(stat.readAll());
        const QStringList fields = text.mid(text.lastIndexOf(u')') + 2).split(u' ');
        if (fields.size() > 1 && fields[1].toLongLong() == app->processId() && cmdline.readAll().contains("server.mjs"))
            node = entry.toLongLong();
    }
    ASSERT_GT(node, 0) << "the app's switchboard child was not found";
    ::kill(static_cast<pid_t>(node), SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return squatting(); }, 10000)) << "the squatter never got the port";

    // The app launches its switchboard again, which finds the port taken.
    EXPECT_TRUE(waitUntil([&] { return windowSays(QStringLiteral("port 17880 is in use by another program")); }, 40000))
        << "the window never said the port is taken";
    QThread::msleep(kListenMs);

    expectNoSecretHeard();
    // At most a challenge, on a pass that raced the child's end; nothing else.
    for (const QByteArray &line : heard().split('\n')) {
        if (line.startsWith("POST ") || line.startsWith("GET "))
            EXPECT_EQ(line, "POST /v1/prove");
    }
}

} // namespace
