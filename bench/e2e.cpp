// Glass to glass: a real KivrenRemote host (its own process, its own 1920x1080 Xvfb, its own
// switchboard) and a KivrenClient viewer in this process, in a loopback-only network namespace
// made here. The host's display shows a frame counter that a drawing thread changes every few
// milliseconds; the viewer reads the counter back out of each picture it shows.
//
// It prints the frames per second the viewer saw and the latency from a counter change on the
// host's display to the viewer's frame showing it (p50/p95), next to the cadence limit
// 1 / (90 ms + one host iteration's work), with that work measured in the same run: a capture
// and encode of the same display, a picture-sized push and a poll to the same switchboard.
#include "KivrenAPI.h"
#include "KivrenClient.h"
#include "HostSession.h"
#include "MacCapture.h"
#include "SessionProtocol.h"
#include "SettingsStore.h"
#include "SwitchboardRequests.h"
#include "WaitUntil.h"
#include "X11DesktopBackend.h"
#include "XvfbServer.h"

#include <QCoroTask>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>

#include <X11/Xlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kBits = 16;
constexpr int kBlock = 96; // counter blocks along the top edge
constexpr int kSwitchboardPort = 17880;
constexpr auto kMeasure = std::chrono::seconds(20);
constexpr auto kPause = std::chrono::milliseconds(90);

using Clock = std::chrono::steady_clock;

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1) + 0.5))];
}

// Paints the counter onto the host's display from its own thread and X connection, and keeps
// when each value became visible.
class CounterPainter
{
public:
    explicit CounterPainter(const std::string &display)
        : m_display(display)
    {
    }
    ~CounterPainter() { stop(); }

    void start() { m_thread = std::thread([this] { run(); }); }
    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    std::optional<Clock::time_point> shownAt(unsigned value)
    {
        std::lock_guard lock(m_mutex);
        if (value >= m_shown.size() || m_shown[value] == Clock::time_point{})
            return std::nullopt;
        return m_shown[value];
    }

private:
    void run()
    {
        Display *dpy = XOpenDisplay(m_display.c_str());
        if (!dpy)
            return;
        const int screen = DefaultScreen(dpy);
        XSetWindowAttributes attrs{};
        attrs.override_redirect = True;
        attrs.background_pixel = 0x404040;
        Window w = XCreateWindow(dpy, RootWindow(dpy, screen), 0, 0, kWidth, kHeight, 0, CopyFromParent,
                                 InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attrs);
        GC gc = XCreateGC(dpy, w, 0, nullptr);
        XMapRaised(dpy, w);
        XSync(dpy, False);
        for (unsigned value = 1; !m_stop && value < (1u << kBits); ++value) {
            for (int bit = 0; bit < kBits; ++bit) {
                XSetForeground(dpy, gc, (value >> bit) & 1 ? 0xFFFFFF : 0x000000);
                XFillRectangle(dpy, w, gc, bit * kBlock, 0, kBlock, kBlock);
            }
            XSync(dpy, False);
            {
                std::lock_guard lock(m_mutex);
                m_shown.resize(value + 1);
                m_shown[value] = Clock::now();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        XCloseDisplay(dpy);
    }

    std::string m_display;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::vector<Clock::time_point> m_shown;
};

// The counter as the viewer's picture shows it; 0 when unreadable.
unsigned readCounter(const QImage &frame)
{
    if (frame.isNull())
        return 0;
    const double scale = frame.width() / double(kWidth);
    unsigned value = 0;
    for (int bit = 0; bit < kBits; ++bit) {
        const QPoint p(int((bit * kBlock + kBlock / 2) * scale), int(kBlock / 2 * scale));
        if (qGray(frame.pixel(p)) > 128)
            value |= 1u << bit;
    }
    return value;
}

// Short passes, so a frame's arrival is seen within a few milliseconds.
bool waitBriefly(const std::function<bool()> &done, int timeoutMs)
{
    return waitUntil(done, timeoutMs, 20, 10);
}

int runInNamespace(int argc, char *argv[])
{
    QStringList args{QStringLiteral("--net"), QStringLiteral("sh"), QStringLiteral("-c"),
                     QStringLiteral("ip link set lo up && exec \"$0\" \"$@\""), QString::fromLocal8Bit(argv[0])};
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    QProcess inner;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KIVREN_BENCH_IN_NAMESPACE"), QStringLiteral("1"));
    inner.setProcessEnvironment(env);
    inner.setProcessChannelMode(QProcess::ForwardedChannels);
    inner.start(QStringLiteral("unshare"), args);
    inner.waitForFinished(-1);
    return inner.exitCode();
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("KIVREN_BENCH_IN_NAMESPACE"))
        return runInNamespace(argc, argv);

    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QTemporaryDir dir;

    XvfbServer xvfb(kWidth, kHeight);
    if (!xvfb.running()) {
        std::fprintf(stderr, "no Xvfb\n");
        return 1;
    }

    // The host: the real app on the 1920x1080 display.
    const QString home = dir.filePath(QStringLiteral("host"));
    QDir().mkpath(home);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), QString::fromStdString(xvfb.name()));
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    QProcess host;
    host.setProcessEnvironment(env);
    host.setStandardOutputFile(QProcess::nullDevice());
    host.setStandardErrorFile(QProcess::nullDevice());
    host.start(QStringLiteral(KIVREN_APP), {});
    if (!host.waitForStarted(10000))
        return 1;

    QSettings hostSettings(home + QStringLiteral("/.config/KivrenRemote/KivrenRemote.conf"), QSettings::IniFormat);
    QString id;
    QString password;
    waitBriefly([&] {
        hostSettings.sync();
        id = hostSettings.value(QStringLiteral("kivren.id")).toString();
        password = hostSettings.value(QStringLiteral("kivren.password")).toString();
        return !id.isEmpty();
    }, 20000);
    QThread::msleep(500); // let the host's own window map before the counter covers it

    CounterPainter painter(xvfb.name());
    painter.start();

    // The viewer, in this process.
    SettingsStore viewerSettings(dir.filePath(QStringLiteral("viewer.ini")));
    KivrenClient client(viewerSettings, QStringLiteral("bench"));
    client.setCloud(QStringLiteral("http://127.0.0.1:%1").arg(kSwitchboardPort));
    std::vector<double> latencies;
    std::vector<unsigned> seen;
    unsigned last = 0;
    bool measuring = false;
    QObject::connect(&client, &KivrenClient::frameChanged, &client, [&](const QImage &frame) {
        const unsigned value = readCounter(frame);
        if (!measuring || value == 0 || value == last)
            return;
        last = value;
        seen.push_back(value);
        if (const auto shown = painter.shownAt(value))
            latencies.push_back(ms(Clock::now() - *shown));
    });

    // Connect once the host is registered and online.
    const bool live = waitBriefly([&] {
        if (client.phase() == SessionPhase::live)
            return true;
        if (client.phase() != SessionPhase::connecting && client.phase() != SessionPhase::authenticating) {
            client.setRemoteId(id);
            client.setRemotePassword(password);
            client.connectToRemote();
        }
        return false;
    }, 30000);
    if (!live || !waitBriefly([&] { return readCounter(client.frame()) != 0; }, 15000)) {
        std::fprintf(stderr, "the viewer never showed the host's picture (status: %s)\n",
                     qPrintable(client.status()));
        return 1;
    }

    measuring = true;
    const auto started = Clock::now();
    waitBriefly([&] { return Clock::now() - started >= kMeasure; }, int(ms(kMeasure)) + 1000);
    measuring = false;
    const double seconds = ms(Clock::now() - started) / 1000.0;
    client.disconnectFromRemote();

    // One host iteration's work, measured on the same display and switchboard: capture and
    // encode, a picture-sized push and a poll (to a session that does not exist: the switchboard
    // reads and parses the whole body before it refuses).
    auto desktop = X11DesktopBackend::open(QString::fromStdString(xvfb.name()));
    KivrenAPI api(QStringLiteral("http://127.0.0.1:%1").arg(kSwitchboardPort));
    std::vector<double> captures, pushes, polls;
    for (int i = 0; i < 60 && desktop; ++i) {
        auto t0 = Clock::now();
        const std::optional<ScreenImage> image = desktop->captureMainDisplay();
        const std::optional<ScreenImage> scaled =
            image ? MacCapture::pictureImage(*image, HostSession::pictureMaxWidth) : std::nullopt;
        const std::optional<QByteArray> picture =
            scaled ? MacCapture::encode(*scaled, QRect(), HostSession::pictureQuality) : std::nullopt;
        auto t1 = Clock::now();
        if (!picture)
            continue;
        const SessionProtocol::SessionKeys none{QStringLiteral("none"), QStringLiteral("none")};
        const SwitchboardRequests::Push push{none, SessionProtocol::Role::host, {SessionProtocol::kindJpeg, picture->toBase64()}};
        QCoro::waitFor(SwitchboardRequests::post(api, push, {}, KivrenAPI::bodyBuffer()));
        auto t2 = Clock::now();
        QCoro::waitFor(SwitchboardRequests::post(api, SwitchboardRequests::Poll{none, SessionProtocol::Role::host, 0}));
        auto t3 = Clock::now();
        captures.push_back(ms(t1 - t0));
        pushes.push_back(ms(t2 - t1));
        polls.push_back(ms(t3 - t2));
    }
    painter.stop();
    host.terminate();
    host.waitForFinished(10000);

    const double work = percentile(captures, 0.5) + percentile(pushes, 0.5) + percentile(polls, 0.5);
    const double limit = 1000.0 / (ms(kPause) + work);
    const double fps = seen.size() / seconds;
    std::printf("\nGlass to glass, %dx%d host display, %.0f s, viewer in-process, host = real app\n\n", kWidth,
                kHeight, seconds);
    std::printf("| measure | value |\n|---|---|\n");
    std::printf("| host capture+encode median | %.2f ms |\n", percentile(captures, 0.5));
    std::printf("| host picture push median | %.2f ms |\n", percentile(pushes, 0.5));
    std::printf("| host poll median | %.2f ms |\n", percentile(polls, 0.5));
    std::printf("| cadence limit 1/(90 ms + %.2f ms) | %.2f fps |\n", work, limit);
    std::printf("| frames seen by the viewer | %.2f fps (%.0f%% of the limit) |\n", fps, 100.0 * fps / limit);
    std::printf("| latency p50 | %.1f ms |\n", percentile(latencies, 0.5));
    std::printf("| latency p95 | %.1f ms |\n", percentile(latencies, 0.95));
    std::printf("| samples | %zu |\n\n", latencies.size());
    return 0;
}
