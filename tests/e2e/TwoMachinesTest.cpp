// Two real KivrenRemote processes on one machine: A shares its screen, B views it. B is driven
// only through its window, with xdotool clicks and typing, as a person would. Both run in a
// loopback-only network namespace that the test makes for itself, so neither can open a public
// tunnel; each has its own settings directory and its own Xvfb display.
#include "KivrenAPI.h"
#include "LoopbackNamespace.h"
#include "ProbeClient.h"
#include "WaitUntil.h"
#include "X11DesktopBackend.h"
#include "XvfbServer.h"

#include <QCoroTask>
#include <QColor>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QImage>
#include <QProcess>
#include <QRect>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <array>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <memory>

namespace {

constexpr int kInnerRunMs = 280000;
constexpr int kSwitchboardPort = 17880;
constexpr int kScreenWidth = 1280;
constexpr int kScreenHeight = 800;
// B's screen is taller, so its window can be made tall enough to show Connect and the first row
// of the address book (under the host's card with its run toggles) without scrolling.
constexpr int kViewerScreenHeight = 1152;
constexpr int kViewerWindowWidth = 1000;
constexpr int kViewerWindowHeight = 1100;

// One of the two machines: its home, its display and its app process.
struct Machine
{
    QString name;
    QString home;
    std::unique_ptr<XvfbServer> xvfb;
    std::unique_ptr<QProcess> app;

    QString display() const { return QString::fromStdString(xvfb->name()); }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display());
        env.insert(QStringLiteral("HOME"), home);
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("QT_FONT_DPI"), QStringLiteral("96"));
        env.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
        env.remove(QStringLiteral("KIVREN_PORT"));
        return env;
    }

    QString settingsFile() const { return home + QStringLiteral("/.config/KivrenRemote/KivrenRemote.conf"); }

    QVariant setting(const QString &key) const
    {
        QSettings settings(settingsFile(), QSettings::IniFormat);
        return settings.value(key);
    }

    void launch()
    {
        app = std::make_unique<QProcess>();
        app->setProcessEnvironment(environment());
        app->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        app->setStandardOutputFile(QProcess::nullDevice());
        app->start(QStringLiteral(KIVREN_APP), {});
        app->waitForStarted(10000);
    }

    void quit()
    {
        if (!app || app->state() == QProcess::NotRunning)
            return;
        app->terminate();
        if (!app->waitForFinished(10000)) {
            app->kill();
            app->waitForFinished(5000);
        }
    }

    // Runs a short helper on this machine's display and returns its standard output.
    QString run(const QString &program, const QStringList &args) const
    {
        QProcess process;
        process.setProcessEnvironment(environment());
        process.start(program, args);
        process.waitForFinished(30000);
        return QString::fromUtf8(process.readAllStandardOutput());
    }

    QString xdotool(const QStringList &args) const { return run(QStringLiteral("xdotool"), args); }
};

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

struct WindowGeometry
{
    QString id;
    QRect rect;
};

WindowGeometry findAppWindow(const Machine &machine)
{
    WindowGeometry window;
    waitUntil([&] {
        window.id = machine.xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                     QStringLiteral("--class"), QStringLiteral("KivrenRemote")})
                        .section(u'\n', 0, 0)
                        .trimmed();
        return !window.id.isEmpty();
    }, 30000);
    if (window.id.isEmpty())
        return window;
    QHash<QString, int> values;
    const QString shell = machine.xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), window.id});
    for (const QString &line : shell.split(u'\n', Qt::SkipEmptyParts))
        values.insert(line.section(u'=', 0, 0), line.section(u'=', 1).toInt());
    window.rect = QRect(values.value(QStringLiteral("X")), values.value(QStringLiteral("Y")),
                        values.value(QStringLiteral("WIDTH")), values.value(QStringLiteral("HEIGHT")));
    return window;
}

void clickAt(const Machine &machine, const WindowGeometry &window, QPoint inWindow)
{
    const QPoint p = window.rect.topLeft() + inWindow;
    machine.xdotool({QStringLiteral("mousemove"), QString::number(p.x()), QString::number(p.y()),
                     QStringLiteral("click"), QStringLiteral("1")});
}

void typeText(const Machine &machine, const QString &text)
{
    machine.xdotool({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("30"), text});
}

// Presses `button` `count` times where the pointer is: 1 the left button, 5 the wheel down.
void clickRepeatedly(const Machine &machine, const WindowGeometry &window, QPoint inWindow, int button, int count)
{
    const QPoint p = window.rect.topLeft() + inWindow;
    machine.xdotool({QStringLiteral("mousemove"), QString::number(p.x()), QString::number(p.y()), QStringLiteral("click"),
                     QStringLiteral("--repeat"), QString::number(count), QStringLiteral("--delay"), QStringLiteral("60"),
                     QString::number(button)});
}

QColor pixelAt(const ScreenImage &image, QPoint p)
{
    const std::uint8_t *px = image.pixels + p.y() * image.stride + p.x() * 4;
    return QColor(px[2], px[1], px[0]);
}

bool near(const QColor &a, const QColor &b, int tolerance = 45)
{
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance
        && std::abs(a.blue() - b.blue()) <= tolerance;
}

// The four quadrant colours of the pattern window, sampled at their centres.
const std::array<std::pair<QPointF, QColor>, 4> kQuadrants{{
    {{0.25, 0.25}, QColor(220, 30, 30)},
    {{0.75, 0.25}, QColor(30, 200, 30)},
    {{0.25, 0.75}, QColor(30, 30, 220)},
    {{0.75, 0.75}, QColor(230, 200, 30)},
}};

// True when B's picture area shows A's pattern, letterboxed into the area.
bool showsPattern(const Machine &viewer, QRect pictureOnScreen)
{
    auto desktop = X11DesktopBackend::open(viewer.display());
    if (!desktop)
        return false;
    const auto image = desktop->captureMainDisplay();
    if (!image)
        return false;
    const double scale = std::min(pictureOnScreen.width() / double(kScreenWidth),
                                  pictureOnScreen.height() / double(kScreenHeight));
    const QSizeF fitted(kScreenWidth * scale, kScreenHeight * scale);
    const QPointF origin(pictureOnScreen.x() + (pictureOnScreen.width() - fitted.width()) / 2,
                         pictureOnScreen.y() + (pictureOnScreen.height() - fitted.height()) / 2);
    for (const auto &[where, colour] : kQuadrants) {
        const QPoint p = (origin + QPointF(where.x() * fitted.width(), where.y() * fitted.height())).toPoint();
        if (p.x() < 0 || p.y() < 0 || p.x() >= image->width || p.y() >= image->height)
            return false;
        if (!near(pixelAt(*image, p), colour))
            return false;
    }
    return true;
}

// Keeps what a display showed, for reading a failure afterwards.
void saveScreen(const Machine &machine, const QString &file)
{
    auto desktop = X11DesktopBackend::open(machine.display());
    const auto image = desktop ? desktop->captureMainDisplay() : std::nullopt;
    if (!image)
        return;
    QImage(image->pixels, image->width, image->height, image->stride, QImage::Format_RGB32)
        .copy()
        .save(file);
}

// A screenshot of one window, as the real app drew it under Xvfb (kept for the docs).
void saveWindow(const Machine &machine, QRect window, const QString &name)
{
    auto desktop = X11DesktopBackend::open(machine.display());
    const auto image = desktop ? desktop->captureMainDisplay() : std::nullopt;
    if (!image)
        return;
    QDir().mkpath(QStringLiteral(KIVREN_BINARY_DIR "/e2e-screenshots"));
    QImage(image->pixels, image->width, image->height, image->stride, QImage::Format_RGB32)
        .copy(window)
        .save(QStringLiteral(KIVREN_BINARY_DIR "/e2e-screenshots/%1.png").arg(name));
}

// The home screen's Connect button is drawn in the accent colour.
bool showsConnectButton(const Machine &viewer, QPoint onScreen)
{
    auto desktop = X11DesktopBackend::open(viewer.display());
    const auto image = desktop ? desktop->captureMainDisplay() : std::nullopt;
    if (!image || onScreen.x() >= image->width || onScreen.y() >= image->height)
        return false;
    // Sample beside the label, inside the fill.
    return near(pixelAt(*image, onScreen + QPoint(-200, 0)), QColor(0xE8, 0xEA, 0xEE), 6);
}

bool portAnswers(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0;
    close(fd);
    return connected;
}

// Direct children of `pid`, from /proc.
QList<int> childrenOf(qint64 pid)
{
    QList<int> children;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool numeric = false;
        const int child = entry.toInt(&numeric);
        if (!numeric)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(child));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QString text = QString::fromLatin1(stat.readAll());
        const QStringList fields = text.mid(text.lastIndexOf(u')') + 2).split(u' ');
        if (fields.size() > 1 && fields[1].toLongLong() == pid)
            children.append(child);
    }
    return children;
}

// Gone, or a zombie waiting for a parent that will never reap it.
bool processGone(int pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QString text = QString::fromLatin1(stat.readAll());
    return text.mid(text.lastIndexOf(u')') + 2).startsWith(u'Z');
}

// The pattern window's click log: the last "press <button> <x> <y>" line.
std::optional<QPoint> lastPress(const QString &log)
{
    QFile file(log);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    std::optional<QPoint> press;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() == 4 && f[0] == "press" && f[1] == "1")
            press = QPoint(f[2].toInt(), f[3].toInt());
    }
    return press;
}

// The pattern window's log: the last "motion <x> <y>" line.
std::optional<QPoint> lastMotion(const QString &log)
{
    QFile file(log);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    std::optional<QPoint> motion;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() == 3 && f[0] == "motion")
            motion = QPoint(f[1].toInt(), f[2].toInt());
    }
    return motion;
}

// True when B's screen shows the pattern window's magenta pointer with its tip at `tip`: the
// square runs right and down from there, scaled as the picture is (at least 8 pixels a side here).
bool showsMagentaPointerAt(const Machine &viewer, QPoint tip)
{
    auto desktop = X11DesktopBackend::open(viewer.display());
    const auto image = desktop ? desktop->captureMainDisplay() : std::nullopt;
    if (!image)
        return false;
    int magenta = 0;
    for (int dy = 2; dy < 7; ++dy) {
        for (int dx = 2; dx < 7; ++dx) {
            const QPoint p = tip + QPoint(dx, dy);
            if (p.x() < image->width && p.y() < image->height && near(pixelAt(*image, p), QColor(255, 0, 255), 60))
                ++magenta;
        }
    }
    // Left of and above the tip is the picture itself.
    const QPoint before = tip - QPoint(4, 4);
    return magenta >= 20 && !near(pixelAt(*image, before), QColor(255, 0, 255), 60);
}

class TwoMachines : public ::testing::Test
{
protected:
    void TearDown() override
    {
        viewer.quit();
        host.quit();
        if (pattern) {
            pattern->kill();
            pattern->waitForFinished(5000);
        }
    }

    // Clicks through B's home screen: ID (typed or picked from the book), password, Connect,
    // then waits until B's picture area shows A's pattern.
    void connectThroughWindow(const QString &id, const QString &password, bool fromBook)
    {
        WindowGeometry window = findAppWindow(viewer);
        ASSERT_FALSE(window.id.isEmpty()) << "B's window never appeared";
        // A known size, so that the layout helper draws the same screen.
        viewer.xdotool({QStringLiteral("windowsize"), QStringLiteral("--sync"), window.id,
                        QString::number(kViewerWindowWidth), QString::number(kViewerWindowHeight)});
        window = findAppWindow(viewer);
        ASSERT_EQ(window.rect.size(), QSize(kViewerWindowWidth, kViewerWindowHeight));
        QStringList args{QStringLiteral("home"), QString::number(window.rect.width()),
                         QString::number(window.rect.height()), QStringLiteral("123456789"),
                         QStringLiteral("ABCD-EFGH"), QStringLiteral("Waiting for an internet address \u00B7 123 456 789"),
                         QStringLiteral("Connections to this computer go through KivrenRemote on it: keep it open.")};
        if (fromBook)
            args << id << QStringLiteral("Remote");
        const auto home = parseLayout(viewer.run(QStringLiteral(KIVREN_WINDOW_LAYOUT), args));
        ASSERT_TRUE(home.contains(QStringLiteral("remoteId")) && home.contains(QStringLiteral("connect")));

        saveWindow(viewer, window.rect, fromBook ? QStringLiteral("home-address-book") : QStringLiteral("home-empty-book"));
        if (fromBook) {
            ASSERT_TRUE(home.contains(QStringLiteral("bookRow"))) << "no address book row after the restart";
            clickAt(viewer, window, home[QStringLiteral("bookRow")].center());
        } else {
            clickAt(viewer, window, home[QStringLiteral("remoteId")].center());
            typeText(viewer, id);
        }
        clickAt(viewer, window, home[QStringLiteral("remotePassword")].center());
        typeText(viewer, password);
        clickAt(viewer, window, home[QStringLiteral("connect")].center());

        const auto remote = parseLayout(viewer.run(QStringLiteral(KIVREN_WINDOW_LAYOUT),
                                                   {QStringLiteral("remote"), QString::number(window.rect.width()),
                                                    QString::number(window.rect.height())}));
        ASSERT_TRUE(remote.contains(QStringLiteral("picture")) && remote.contains(QStringLiteral("end")));
        connect = home[QStringLiteral("connect")];
        picture = remote[QStringLiteral("picture")];
        end = remote[QStringLiteral("end")];
        viewerWindow = window;
        const bool shown =
            waitUntil([&] { return showsPattern(viewer, picture.translated(window.rect.topLeft())); }, 30000);
        if (!shown) {
            saveScreen(viewer, QStringLiteral(KIVREN_BINARY_DIR "/e2e-viewer-screen.png"));
            saveScreen(host, QStringLiteral(KIVREN_BINARY_DIR "/e2e-host-screen.png"));
        }
        ASSERT_TRUE(shown) << "B never showed A's pattern; its screen is in " KIVREN_BINARY_DIR "/e2e-viewer-screen.png";
        if (!fromBook)
            saveWindow(viewer, window.rect, QStringLiteral("remote-desktop"));
    }

    // True when A's window draws its status line exactly as the home screen draws a status of a
    // host without a session: "Waiting for an internet address" (with or without the ID: the next
    // registration appends it), or what keeps its tunnel from publishing it (no network here);
    // and not as it draws a live session's "Connected · " line.
    bool hostShowsStatusWithoutSession(const QString &id, const QString &password)
    {
        const WindowGeometry window = findAppWindow(host);
        auto desktop = X11DesktopBackend::open(host.display());
        const auto screen = desktop ? desktop->captureMainDisplay() : std::nullopt;
        if (window.id.isEmpty() || !screen)
            return false;
        const QImage real = QImage(screen->pixels, screen->width, screen->height, screen->stride, QImage::Format_RGB32)
                                .copy(window.rect);
        const QString hint = QStringLiteral("Connections to this computer go through KivrenRemote on it: keep it open.");
        const QString formattedId = id.left(3) + u' ' + id.mid(3, 3) + u' ' + id.mid(6);
        for (const QString &status : {QStringLiteral("Waiting for an internet address"),
                                      QStringLiteral("Waiting for an internet address \u00B7 ") + formattedId,
                                      QStringLiteral("No internet connection: other computers cannot reach this one yet. KivrenRemote keeps trying; the ID and password stay the same"),
                                      QStringLiteral("Other computers cannot reach this one: install cloudflared or openssh-client to give it an internet address")}) {
            const QString file = dir.filePath(QStringLiteral("expected-status.png"));
            const auto rects = parseLayout(host.run(QStringLiteral(KIVREN_WINDOW_LAYOUT),
                                                    {QStringLiteral("home"), QString::number(window.rect.width()),
                                                     QString::number(window.rect.height()), id, password, status, hint,
                                                     QStringLiteral("--grab"), file}));
            const QRect region = rects.value(QStringLiteral("hostStatus"));
            const QImage expected(file);
            if (region.isEmpty() || expected.isNull())
                continue;
            if (real.copy(region).convertToFormat(QImage::Format_RGB32) == expected.copy(region).convertToFormat(QImage::Format_RGB32))
                return true;
        }
        return false;
    }

    QTemporaryDir dir;
    QString clickLog;
    Machine host{QStringLiteral("A"), {}, nullptr, nullptr};
    Machine viewer{QStringLiteral("B"), {}, nullptr, nullptr};
    std::unique_ptr<QProcess> pattern;
    QRect connect;
    QRect picture;
    QRect end;
    WindowGeometry viewerWindow;
};

TEST_F(TwoMachines, ViewerSeesAndClicksHost_ThroughSwitchboardOfHost)
{
    KIVREN_RUN_IN_LOOPBACK_NAMESPACE(kInnerRunMs)

    ASSERT_FALSE(portAnswers(kSwitchboardPort)) << "something already serves the switchboard port";
    for (Machine *m : {&host, &viewer}) {
        m->home = dir.filePath(m->name);
        QDir().mkpath(m->home);
        m->xvfb = std::make_unique<XvfbServer>(kScreenWidth, m == &host ? kScreenHeight : kViewerScreenHeight);
        ASSERT_TRUE(m->xvfb->running());
    }

    // A: the host. Its own window comes up first; the pattern window then covers the display.
    host.launch();
    ASSERT_FALSE(findAppWindow(host).id.isEmpty()) << "A's window never appeared";
    clickLog = dir.filePath(QStringLiteral("clicks.log"));
    pattern = std::make_unique<QProcess>();
    pattern->setProcessEnvironment(host.environment());
    pattern->start(QStringLiteral(KIVREN_PATTERN_WINDOW), {clickLog});
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(clickLog); }, 10000));

    // A started its own switchboard and registered: lookup finds it online.
    QString id;
    QString password;
    ASSERT_TRUE(waitUntil([&] {
        id = host.setting(QStringLiteral("kivren.id")).toString();
        password = host.setting(QStringLiteral("kivren.password")).toString();
        return !id.isEmpty() && !password.isEmpty();
    }, 20000));
    KivrenAPI api(QStringLiteral("http://127.0.0.1:%1").arg(kSwitchboardPort));
    ASSERT_TRUE(waitUntil([&] {
        const KivrenAnswer answer = QCoro::waitFor(api.post(QStringLiteral("lookup"), {{QStringLiteral("id"), id}}));
        return answer.ok() && answer.object.value(QStringLiteral("online")).toBool();
    }, 30000)) << "A never registered with its switchboard";

    // B: the viewer, driven through its window only. B's own switchboard cannot listen (A holds
    // the port), so B lends its viewer no loopback address: it uses A's, saved beforehand as a
    // person saves the address of the machine at home.
    {
        QDir().mkpath(QFileInfo(viewer.settingsFile()).absolutePath());
        QSettings settings(viewer.settingsFile(), QSettings::IniFormat);
        settings.setValue(QStringLiteral("kivren.cloud"), QStringLiteral("http://127.0.0.1:%1").arg(kSwitchboardPort));
    }
    viewer.launch();
    ASSERT_NO_FATAL_FAILURE(connectThroughWindow(id, password, false));

    // A click at a point of A's picture, as B draws it fitted into its picture area, lands on the
    // matching point of A's display.
    const double scale = std::min(picture.width() / double(kScreenWidth), picture.height() / double(kScreenHeight));
    const QRectF fitted(picture.x() + (picture.width() - kScreenWidth * scale) / 2,
                        picture.y() + (picture.height() - kScreenHeight * scale) / 2, kScreenWidth * scale,
                        kScreenHeight * scale);
    const QPointF fraction(0.3, 0.6);
    const QPoint at = (fitted.topLeft() + QPointF(fitted.width() * fraction.x(), fitted.height() * fraction.y())).toPoint();
    clickAt(viewer, viewerWindow, at);
    const QPointF expected((at.x() - fitted.x()) / fitted.width() * kScreenWidth,
                           (at.y() - fitted.y()) / fitted.height() * kScreenHeight);
    std::optional<QPoint> press;
    ASSERT_TRUE(waitUntil([&] { return (press = lastPress(clickLog)).has_value(); }, 10000))
        << "the click never reached A's test window";
    EXPECT_NEAR(press->x(), expected.x(), 3);
    EXPECT_NEAR(press->y(), expected.y(), 3);

    // B's pointer hovering over the picture, no button held, moves A's pointer there: A's test
    // window sees it move. Then B draws A's pointer (the test window's magenta square) in its
    // picture with the tip at that point.
    {
        const QPointF hover(0.7, 0.3);
        const QPoint hoverAt = (fitted.topLeft() + QPointF(fitted.width() * hover.x(), fitted.height() * hover.y())).toPoint();
        const QPoint onScreen = viewerWindow.rect.topLeft() + hoverAt;
        viewer.xdotool({QStringLiteral("mousemove"), QString::number(onScreen.x() - 40), QString::number(onScreen.y() + 30)});
        viewer.xdotool({QStringLiteral("mousemove"), QString::number(onScreen.x()), QString::number(onScreen.y())});
        const QPointF hostPoint((hoverAt.x() - fitted.x()) / fitted.width() * kScreenWidth,
                                (hoverAt.y() - fitted.y()) / fitted.height() * kScreenHeight);
        std::optional<QPoint> motion;
        EXPECT_TRUE(waitUntil([&] {
            motion = lastMotion(clickLog);
            return motion && std::abs(motion->x() - hostPoint.x()) <= 3 && std::abs(motion->y() - hostPoint.y()) <= 3;
        }, 10000)) << "A's pointer did not follow B's hover; last motion "
                   << (motion ? QStringLiteral("%1,%2").arg(motion->x()).arg(motion->y()).toStdString() : "none");
        const bool drawn = waitUntil([&] { return showsMagentaPointerAt(viewer, onScreen); }, 10000);
        if (!drawn)
            saveScreen(viewer, QStringLiteral(KIVREN_BINARY_DIR "/e2e-viewer-pointer.png"));
        EXPECT_TRUE(drawn) << "B did not draw A's pointer at " << onScreen.x() << "," << onScreen.y()
                           << "; its screen is in " KIVREN_BINARY_DIR "/e2e-viewer-pointer.png";
    }

    // B's user works on A: a Qt window on A's display with a text field, a line of words and a
    // long list. B's keys go to A while B's picture has the keyboard.
    {
        ProbeClient probe(host.environment(), dir.filePath(QStringLiteral("probe.state")));
        ASSERT_TRUE(probe.waitReady()) << "the probe window never came up on A";
        // The point of B's picture, as drawn, that lands on a point of A's screen.
        const auto onPicture = [&](QPoint onHost) {
            return (fitted.topLeft() + QPointF((onHost.x() + 0.5) * fitted.width() / kScreenWidth,
                                               (onHost.y() + 0.5) * fitted.height() / kScreenHeight))
                .toPoint();
        };
        clickAt(viewer, viewerWindow, onPicture(probe.rect(QStringLiteral("field")).center()));
        typeText(viewer, QStringLiteral("hello"));
        EXPECT_TRUE(waitUntil([&] { return probe.text() == QLatin1String("hello"); }, 15000))
            << "A's field shows \"" << probe.text().toStdString() << "\"";
        // A shortcut: select all, then type over it.
        viewer.xdotool({QStringLiteral("key"), QStringLiteral("ctrl+a")});
        typeText(viewer, QStringLiteral("Typed on B, 15!"));
        EXPECT_TRUE(waitUntil([&] { return probe.text() == QLatin1String("Typed on B, 15!"); }, 15000))
            << "A's field shows \"" << probe.text().toStdString() << "\"";

        // A double click on a word selects it.
        clickRepeatedly(viewer, viewerWindow, onPicture(probe.word(QStringLiteral("beta"))), 1, 2);
        EXPECT_TRUE(waitUntil([&] { return probe.selected() == QLatin1String("beta"); }, 15000))
            << "A's words show \"" << probe.selected().toStdString() << "\" selected";

        // Five notches of B's wheel over the list: five wheel clicks on A, three rows each.
        clickRepeatedly(viewer, viewerWindow, onPicture(probe.rect(QStringLiteral("list")).center()), 5, 5);
        EXPECT_TRUE(waitUntil([&] { return probe.scroll() == 15; }, 15000)) << "A's list scrolled to " << probe.scroll();
        QThread::msleep(300);
        EXPECT_EQ(probe.scroll(), 15);
    }

    // "End" takes B home: the picture goes and the Connect button is back.
    clickAt(viewer, viewerWindow, end.center());
    EXPECT_TRUE(waitUntil([&] { return !showsPattern(viewer, picture.translated(viewerWindow.rect.topLeft())); }, 10000));
    EXPECT_TRUE(waitUntil([&] { return showsConnectButton(viewer, viewerWindow.rect.topLeft() + connect.center()); }, 10000))
        << "B did not return to its home screen";

    // A's own window (uncovered for a moment) shows the status of a host without a session.
    pattern->kill();
    pattern->waitForFinished(5000);
    EXPECT_TRUE(waitUntil([&] { return hostShowsStatusWithoutSession(id, password); }, 15000))
        << "A's status did not return to that of a host without a session";
    pattern->start(QStringLiteral(KIVREN_PATTERN_WINDOW), {clickLog});
    ASSERT_TRUE(pattern->waitForStarted(5000));

    // B restarts and finds A in its address book; picking the row and connecting again works,
    // which also shows A ended the first session (a live host ignores new sessions).
    viewer.quit();
    ASSERT_TRUE(viewer.setting(QStringLiteral("kivren.book")).toByteArray().contains(id.toUtf8()));
    viewer.launch();
    ASSERT_NO_FATAL_FAILURE(connectThroughWindow(id, password, true));
    clickAt(viewer, viewerWindow, end.center());
    viewer.quit();

    // A quits: its switchboard and tunnel children end with it.
    const QList<int> children = childrenOf(host.app->processId());
    EXPECT_FALSE(children.isEmpty()) << "A should have started its switchboard";
    host.quit();
    EXPECT_TRUE(waitUntil([&] { return !portAnswers(kSwitchboardPort); }, 10000)) << "the switchboard outlived A";
    for (int child : children)
        EXPECT_TRUE(waitUntil([&] { return processGone(child); }, 10000)) << "child " << child << " outlived A";
}

} // namespace
