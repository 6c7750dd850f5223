// A real KivrenRemote host whose screen changes in one small area at a time, watched by a viewer
// client in this process: after each change the viewer's picture equals the host's screen
// (within JPEG error), the changes came as changed areas rather than whole pictures, and a
// screen left still sends no more pictures. Run in a loopback-only
// network namespace that the test makes for itself, so the app cannot open a public tunnel.
#include "KivrenAPI.h"
#include "KivrenClient.h"
#include "LoopbackNamespace.h"
#include "SettingsStore.h"
#include "WaitUntil.h"
#include "X11DesktopBackend.h"
#include "XvfbServer.h"

#include <QCoroTask>
#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QProcess>
#include <QRegion>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>

// Xlib last: its macros clash with Qt and GoogleTest.
#include <X11/Xlib.h>

namespace {

constexpr int kInnerRunMs = 200000;
constexpr int kSwitchboardPort = 17880;
// Narrow enough to be sent unscaled, so screen and picture compare pixel for pixel.
constexpr int kScreenWidth = 1024;
constexpr int kScreenHeight = 640;
constexpr int kPatch = 32;
// Quality 42 JPEG: flat areas come back within a few levels, edges worse.
constexpr double kMeanErrorLimit = 3.0;
constexpr int kPatchErrorLimit = 16;

// A window covering the host's screen with a striped page, on the test's own connection.
class Canvas
{
public:
    explicit Canvas(const std::string &display)
        : m_display(XOpenDisplay(display.c_str()))
    {
        if (!m_display)
            return;
        XSetWindowAttributes attrs{};
        attrs.override_redirect = True;
        attrs.background_pixel = 0xE0E0E0;
        m_window = XCreateWindow(m_display, DefaultRootWindow(m_display), 0, 0, kScreenWidth, kScreenHeight, 0,
                                 CopyFromParent, InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attrs);
        m_gc = XCreateGC(m_display, m_window, 0, nullptr);
        XMapRaised(m_display, m_window);
        XSync(m_display, False);
        for (int y = 0; y < kScreenHeight; y += 80)
            fill(0, y, kScreenWidth, 40, 0x3060A0);
    }
    ~Canvas()
    {
        if (!m_display)
            return;
        XFreeGC(m_display, m_gc);
        XDestroyWindow(m_display, m_window);
        XCloseDisplay(m_display);
    }
    Canvas(const Canvas &) = delete;
    Canvas &operator=(const Canvas &) = delete;

    bool open() const { return m_display != nullptr; }
    void fill(int x, int y, int width, int height, unsigned long rgb)
    {
        XSetForeground(m_display, m_gc, rgb);
        XFillRectangle(m_display, m_window, m_gc, x, y, static_cast<unsigned>(width), static_cast<unsigned>(height));
        XSync(m_display, False);
    }

private:
    Display *m_display;
    Window m_window = 0;
    GC m_gc = nullptr;
};

QImage screenOf(X11DesktopBackend &desktop)
{
    const auto image = desktop.captureMainDisplay();
    if (!image)
        return {};
    return QImage(image->pixels, image->width, image->height, image->stride, QImage::Format_RGB32).copy();
}

double meanError(const QImage &a, const QImage &b)
{
    if (a.size() != b.size() || a.isNull())
        return 1e9;
    const QImage x = a.convertToFormat(QImage::Format_RGB32);
    const QImage y = b.convertToFormat(QImage::Format_RGB32);
    double sum = 0;
    for (int row = 0; row < x.height(); ++row) {
        const auto *p = reinterpret_cast<const QRgb *>(x.constScanLine(row));
        const auto *q = reinterpret_cast<const QRgb *>(y.constScanLine(row));
        for (int column = 0; column < x.width(); ++column)
            sum += std::abs(qRed(p[column]) - qRed(q[column])) + std::abs(qGreen(p[column]) - qGreen(q[column]))
                + std::abs(qBlue(p[column]) - qBlue(q[column]));
    }
    return sum / (3.0 * x.width() * x.height());
}

// The inner half of the patch, away from the edges JPEG blurs, shows `rgb`.
bool patchShows(const QImage &picture, QPoint at, unsigned long rgb)
{
    if (picture.size() != QSize(kScreenWidth, kScreenHeight))
        return false;
    for (int y = at.y() + kPatch / 4; y < at.y() + kPatch * 3 / 4; ++y) {
        for (int x = at.x() + kPatch / 4; x < at.x() + kPatch * 3 / 4; ++x) {
            const QRgb pixel = picture.pixel(x, y);
            if (std::abs(qRed(pixel) - int((rgb >> 16) & 0xFF)) > kPatchErrorLimit
                || std::abs(qGreen(pixel) - int((rgb >> 8) & 0xFF)) > kPatchErrorLimit
                || std::abs(qBlue(pixel) - int(rgb & 0xFF)) > kPatchErrorLimit)
                return false;
        }
    }
    return true;
}

TEST(ScreenChange, ViewerPictureFollowsEverySmallChange_AndAStillScreenSendsNothing)
{
    KIVREN_RUN_IN_LOOPBACK_NAMESPACE(kInnerRunMs)

    QTemporaryDir dir;
    XvfbServer xvfb(kScreenWidth, kScreenHeight);
    ASSERT_TRUE(xvfb.running());
    const QString home = dir.filePath(QStringLiteral("host"));
    QDir().mkpath(home);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), QString::fromStdString(xvfb.name()));
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    env.remove(QStringLiteral("KIVREN_PORT"));
    QProcess host;
    host.setProcessEnvironment(env);
    host.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    host.setStandardOutputFile(QProcess::nullDevice());
    host.start(QStringLiteral(KIVREN_APP), {});
    ASSERT_TRUE(host.waitForStarted(10000));
    const auto quit = qScopeGuard([&] {
        host.terminate();
        if (!host.waitForFinished(10000))
            host.kill();
        host.waitForFinished(5000);
    });

    QString id;
    QString password;
    ASSERT_TRUE(waitUntil([&] {
        QSettings settings(home + QStringLiteral("/.config/KivrenRemote/KivrenRemote.conf"), QSettings::IniFormat);
        id = settings.value(QStringLiteral("kivren.id")).toString();
        password = settings.value(QStringLiteral("kivren.password")).toString();
        return !id.isEmpty() && !password.isEmpty();
    }, 20000));
    const QString origin = QStringLiteral("http://127.0.0.1:%1").arg(kSwitchboardPort);
    KivrenAPI api(origin);
    ASSERT_TRUE(waitUntil([&] {
        const KivrenAnswer answer = QCoro::waitFor(api.post(QStringLiteral("lookup"), {{QStringLiteral("id"), id}}));
        return answer.ok() && answer.object.value(QStringLiteral("online")).toBool();
    }, 30000)) << "the host never registered with its switchboard";

    Canvas canvas(xvfb.name());
    ASSERT_TRUE(canvas.open());
    auto desktop = X11DesktopBackend::open(QString::fromStdString(xvfb.name()));
    ASSERT_TRUE(desktop);

    SettingsStore viewerSettings(dir.filePath(QStringLiteral("viewer.ini")));
    KivrenClient client(viewerSettings, QStringLiteral("e2e"));
    client.setCloud(origin);
    client.setRemoteId(id);
    client.setRemotePassword(password);
    client.connectToRemote();
    const auto followsScreen = [&] {
        const QImage screen = screenOf(*desktop);
        return meanError(client.frame(), screen) < kMeanErrorLimit;
    };
    ASSERT_TRUE(waitUntil([&] { return client.phase() == SessionPhase::live && followsScreen(); }, 30000))
        << "the viewer never showed the host's screen (status: " << client.status().toStdString() << ")";

    // Each change in turn, back to an earlier colour too: the viewer must never keep a stale
    // picture of the patch.
    struct Change
    {
        QPoint at;
        unsigned long rgb;
    };
    const Change changes[] = {{{96, 96}, 0xC02020}, {{96, 96}, 0x20C020}, {{704, 416}, 0x202020},
                              {{96, 96}, 0xC02020}, {{512, 16}, 0xF0F000}};
    // A redraw of less than the whole picture: the host sent tiles, which this viewer names.
    int partialRedraws = 0;
    QObject::connect(&client, &KivrenClient::frameRedrawn, &client, [&](const QImage &frame, const QRegion &area) {
        if (!area.isEmpty() && area != QRegion(frame.rect()))
            ++partialRedraws;
    });
    for (const Change &change : changes) {
        canvas.fill(change.at.x(), change.at.y(), kPatch, kPatch, change.rgb);
        EXPECT_TRUE(waitUntil([&] { return patchShows(client.frame(), change.at, change.rgb) && followsScreen(); },
                              10000))
            << "the viewer's picture did not follow the change at " << change.at.x() << "," << change.at.y()
            << ": its centre is #" << std::hex << (client.frame().pixel(change.at + QPoint(kPatch / 2, kPatch / 2)) & 0xFFFFFF)
            << std::dec << ", mean error " << meanError(client.frame(), screenOf(*desktop));
    }

    EXPECT_GT(partialRedraws, 0) << "every change came as a whole picture";

    // Nothing moves now: no picture arrives, and the one shown is still the screen.
    int pictures = 0;
    QObject::connect(&client, &KivrenClient::frameChanged, &client, [&] { ++pictures; });
    waitUntil([] { return false; }, 1500);
    EXPECT_EQ(pictures, 0);
    EXPECT_TRUE(followsScreen());
    client.disconnectFromRemote();
}

} // namespace
