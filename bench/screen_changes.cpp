// What a session costs per scene: bytes per second a viewer receives and the host's CPU, on a
// 1920x1080 Xvfb. The host is MacHostService in this process on the real X11 backend, against the
// real switchboard (node cloud/server.mjs) on a free loopback port; the viewer is an outside one
// that polls as every viewer does (its "since" cursor, a 90 ms pause after each answer) and
// counts the bytes of the poll answers. A painter thread plays each scene on its own X connection.
//
// Every scene is measured three times in the same run: the host as it is with a viewer that never
// sends caps (a whole picture only when the screen changed), the same host with a viewer that
// answers the hello with caps naming "tiles" (only the changed areas), and the host with the
// benchmark switch that pushes a whole picture on every pass, as hosts did before: the baseline.
// Host CPU is the main thread's CPU time (capture, encoding, requests: all of the host's work
// runs there), as a share of one core.
#include "HostKey.h"
#include "KivrenAPI.h"
#include "MacHostService.h"
#include "SettingsStore.h"
#include "SwitchboardProcess.h"
#include "X11DesktopBackend.h"
#include "XvfbServer.h"

#include <QCoroTask>
#include <QEventLoop>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTimer>

#include <curl/curl.h>

#include <X11/Xlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr auto kWarmUp = std::chrono::milliseconds(1500);
constexpr auto kMeasure = std::chrono::seconds(8);
constexpr auto kViewerPause = std::chrono::milliseconds(90);
constexpr int kRounds = 3; // each scene and mode this often, interleaved; medians printed

using Clock = std::chrono::steady_clock;

enum class Scene { still, cursor, typing, scrolling, video };

const char *sceneName(Scene scene)
{
    switch (scene) {
    case Scene::still: return "still screen";
    case Scene::cursor: return "blinking cursor (2x16, 1 Hz)";
    case Scene::typing: return "typing a line (5 chars/s)";
    case Scene::scrolling: return "scrolling a page (40 px/s)";
    case Scene::video: return "full-screen change each frame";
    }
    return "";
}

// Runs the Qt event loop for `duration`, without spinning: an idle host costs nothing here.
void runFor(std::chrono::milliseconds duration)
{
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
}

bool runUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() >= deadline)
            return false;
        runFor(std::chrono::milliseconds(20));
    }
    return true;
}

double threadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Plays one scene on the host's display from its own thread and X connection: a white page of
// text lines covering the screen, then the scene's changes.
class ScenePainter
{
public:
    ScenePainter(std::string display, Scene scene)
        : m_display(std::move(display))
        , m_scene(scene)
    {
        m_thread = std::thread([this] { run(); });
        while (!m_ready && !m_stop)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ~ScenePainter()
    {
        m_stop = true;
        m_thread.join();
    }

private:
    void run()
    {
        Display *dpy = XOpenDisplay(m_display.c_str());
        if (!dpy) {
            m_stop = true;
            return;
        }
        const int screen = DefaultScreen(dpy);
        XSetWindowAttributes attrs{};
        attrs.override_redirect = True;
        attrs.background_pixel = 0xFFFFFF;
        const Window w = XCreateWindow(dpy, RootWindow(dpy, screen), 0, 0, kWidth, kHeight, 0, CopyFromParent,
                                       InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attrs);
        GC gc = XCreateGC(dpy, w, 0, nullptr);
        XMapRaised(dpy, w);
        XSync(dpy, False);
        XClearWindow(dpy, w);
        XSetForeground(dpy, gc, 0x000000);
        const std::string line = "The quick brown fox jumps over the lazy dog, 0123456789 times, and then some more.";
        for (int y = 40; y < kHeight - 20; y += 18)
            XDrawString(dpy, w, gc, 40, y, line.c_str(), int(line.size()));
        XSync(dpy, False);
        m_ready = true;

        const auto started = Clock::now();
        int step = 0;
        while (!m_stop) {
            switch (m_scene) {
            case Scene::still:
                break;
            case Scene::cursor:
                XSetForeground(dpy, gc, step % 2 ? 0x000000 : 0xFFFFFF);
                XFillRectangle(dpy, w, gc, 800, 500, 2, 16);
                break;
            case Scene::typing: {
                const int column = step % 120;
                if (column == 0) {
                    XSetForeground(dpy, gc, 0xFFFFFF);
                    XFillRectangle(dpy, w, gc, 40, 600, 1000, 18);
                }
                XSetForeground(dpy, gc, 0x000000);
                const char c = char('a' + step % 26);
                XDrawString(dpy, w, gc, 40 + column * 8, 614, &c, 1);
                break;
            }
            case Scene::scrolling: {
                // 4 px every 100 ms; a new text line enters at the bottom every 18 px.
                XCopyArea(dpy, w, w, gc, 0, 4, kWidth, kHeight - 4, 0, 0);
                XSetForeground(dpy, gc, 0xFFFFFF);
                XFillRectangle(dpy, w, gc, 0, kHeight - 4, kWidth, 4);
                if (step % 5 == 0) {
                    XSetForeground(dpy, gc, 0x000000);
                    XDrawString(dpy, w, gc, 40 + (step % 7) * 8, kHeight - 2, line.c_str(), int(line.size()));
                }
                break;
            }
            case Scene::video:
                // Every pixel changes each frame: shifting colour bands.
                for (int x = 0; x < kWidth; x += 32) {
                    const unsigned v = unsigned(x + step * 24);
                    XSetForeground(dpy, gc, ((v * 3) & 0xFF) << 16 | ((v * 5) & 0xFF) << 8 | ((v * 7) & 0xFF));
                    XFillRectangle(dpy, w, gc, x, 0, 32, kHeight);
                }
                for (int y = 0; y < kHeight; y += 120) {
                    XSetForeground(dpy, gc, unsigned(step * 40 + y) & 0xFFFFFF);
                    XFillRectangle(dpy, w, gc, (step * 37 + y) % kWidth, y, 200, 60);
                }
                break;
            }
            XSync(dpy, False);
            ++step;
            const auto period = m_scene == Scene::cursor ? std::chrono::milliseconds(500)
                : m_scene == Scene::typing              ? std::chrono::milliseconds(200)
                                                        : std::chrono::milliseconds(100);
            std::this_thread::sleep_until(started + period * step);
        }
        XFreeGC(dpy, gc);
        XDestroyWindow(dpy, w);
        XCloseDisplay(dpy);
    }

    std::string m_display;
    Scene m_scene;
    std::thread m_thread;
    std::atomic<bool> m_ready{false};
    std::atomic<bool> m_stop{false};
};

size_t countBody(char *data, size_t size, size_t count, void *user)
{
    auto *body = static_cast<std::string *>(user);
    body->append(data, size * count);
    return size * count;
}

// The caps a tile-capable viewer answers a hello with: {"features":["tiles"],"type":"caps"}.
const std::string capsPayload = QByteArray(R"({"features":["tiles"],"type":"caps"})").toBase64().toStdString();

// The outside viewer: polls on its own thread with its own connection, as every viewer does.
// One that names tiles answers each hello with its caps, pushed as a json frame.
class PollingViewer
{
public:
    PollingViewer(const std::string &origin, std::string sessionId, std::string token, bool namesTiles)
        : m_url(origin + "/v1/poll")
        , m_pushUrl(origin + "/v1/push")
        , m_sessionId(std::move(sessionId))
        , m_token(std::move(token))
        , m_namesTiles(namesTiles)
    {
        m_thread = std::thread([this] { run(); });
    }
    ~PollingViewer()
    {
        m_stop = true;
        m_thread.join();
    }

    void setCounting(bool counting) { m_counting = counting; }
    long long bytes() const { return m_bytes; }
    long long answers() const { return m_answers; }
    long long pictures() const { return m_pictures; }
    long long tileFrames() const { return m_tileFrames; }

private:
    void run()
    {
        CURL *curl = curl_easy_init();
        curl_slist *headers = curl_slist_append(nullptr, "Content-Type: application/json");
        std::string body;
        long long since = 0;
        while (!m_stop) {
            const std::string request = R"({"role":"viewer","sessionId":")" + m_sessionId + R"(","since":)"
                + std::to_string(since) + R"(,"token":")" + m_token + R"("})";
            body.clear();
            curl_easy_setopt(curl, CURLOPT_URL, m_url.c_str());
            curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.c_str());
            curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, countBody);
            curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
            if (curl_easy_perform(curl) == CURLE_OK) {
                if (m_counting) {
                    m_bytes += static_cast<long long>(body.size());
                    ++m_answers;
                }
                const QJsonObject answer =
                    QJsonDocument::fromJson(QByteArray::fromRawData(body.data(), qsizetype(body.size()))).object();
                if (answer.value(QStringLiteral("since")).isDouble())
                    since = answer.value(QStringLiteral("since")).toInteger();
                look(curl, answer);
            }
            std::this_thread::sleep_for(kViewerPause);
        }
        curl_slist_free_all(headers);
        curl_easy_cleanup(curl);
    }

    // Counts the answer's pictures and tiles frames, and answers a hello with caps when this
    // viewer names tiles.
    void look(CURL *curl, const QJsonObject &answer)
    {
        bool greeted = false;
        for (const QJsonValue &value : answer.value(QStringLiteral("frames")).toArray()) {
            const QJsonObject frame = value.toObject();
            const QString kind = frame.value(QStringLiteral("kind")).toString();
            if (m_counting && kind == QStringLiteral("jpeg"))
                ++m_pictures;
            if (m_counting && kind == QStringLiteral("tiles"))
                ++m_tileFrames;
            if (kind == QStringLiteral("json")) {
                const QJsonObject message = QJsonDocument::fromJson(
                    QByteArray::fromBase64(frame.value(QStringLiteral("payload")).toString().toLatin1())).object();
                greeted = greeted || message.value(QStringLiteral("type")).toString() == QStringLiteral("hello");
            }
        }
        if (!greeted || !m_namesTiles)
            return;
        const std::string push = R"({"kind":"json","payload":")" + capsPayload + R"(","role":"viewer","sessionId":")"
            + m_sessionId + R"(","token":")" + m_token + R"("})";
        std::string ignored;
        curl_easy_setopt(curl, CURLOPT_URL, m_pushUrl.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, push.c_str());
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &ignored);
        if (curl_easy_perform(curl) != CURLE_OK)
            std::fprintf(stderr, "the caps push failed\n");
    }

    std::string m_url;
    std::string m_pushUrl;
    std::string m_sessionId;
    std::string m_token;
    bool m_namesTiles = false;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_counting{false};
    std::atomic<long long> m_bytes{0};
    std::atomic<long long> m_answers{0};
    std::atomic<long long> m_pictures{0};
    std::atomic<long long> m_tileFrames{0};
};

struct Sample
{
    double kilobytesPerSecond = 0;
    double cpuPercent = 0;
    double picturesPerSecond = 0;
    double tileFramesPerSecond = 0;
};

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// One session with `service` while `scene` plays: connect as a viewer (naming tiles or not),
// warm up, measure, close.
std::optional<Sample> measure(MacHostService &service, KivrenAPI &api, const QString &origin, const std::string &display,
                              Scene scene, bool namesTiles)
{
    ScenePainter painter(display, scene);
    const KivrenAnswer opened = QCoro::waitFor(api.post(QStringLiteral("connect"),
                                                        {{QStringLiteral("id"), service.publicId()},
                                                         {QStringLiteral("password"), service.password()},
                                                         {QStringLiteral("clientName"), QStringLiteral("bench")},
                                                         {QStringLiteral("clientPlatform"), QStringLiteral("web")}}));
    const QString sessionId = opened.object.value(QStringLiteral("sessionId")).toString();
    const QString token = opened.object.value(QStringLiteral("sessionToken")).toString();
    if (!opened.ok() || sessionId.isEmpty()) {
        std::fprintf(stderr, "connect failed\n");
        return std::nullopt;
    }
    if (!runUntil([&] { return service.live(); }, std::chrono::seconds(10))) {
        std::fprintf(stderr, "the host never took the session\n");
        return std::nullopt;
    }
    Sample sample;
    {
        PollingViewer viewer(origin.toStdString(), sessionId.toStdString(), token.toStdString(), namesTiles);
        runFor(kWarmUp);
        viewer.setCounting(true);
        const double cpuBefore = threadCpuSeconds();
        const auto started = Clock::now();
        runFor(kMeasure);
        const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        const double cpu = threadCpuSeconds() - cpuBefore;
        viewer.setCounting(false);
        sample.kilobytesPerSecond = double(viewer.bytes()) / 1000.0 / seconds;
        sample.cpuPercent = 100.0 * cpu / seconds;
        sample.picturesPerSecond = double(viewer.pictures()) / seconds;
        sample.tileFramesPerSecond = double(viewer.tileFrames()) / seconds;
    }
    QCoro::waitFor(api.post(QStringLiteral("close"), {{QStringLiteral("sessionId"), sessionId},
                                                      {QStringLiteral("token"), token},
                                                      {QStringLiteral("role"), QStringLiteral("viewer")}}));
    if (!runUntil([&] { return !service.live(); }, std::chrono::seconds(10))) {
        std::fprintf(stderr, "the host never ended the session\n");
        return std::nullopt;
    }
    return sample;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    QTemporaryDir dir;

    XvfbServer xvfb(kWidth, kHeight);
    auto desktop = xvfb.running() ? X11DesktopBackend::open(QString::fromStdString(xvfb.name())) : nullptr;
    if (!desktop) {
        std::fprintf(stderr, "no Xvfb\n");
        return 1;
    }
    const HostKey key = HostKey::generate();
    SwitchboardProcess board(key.environmentValue());
    if (!board.running()) {
        std::fprintf(stderr, "the switchboard did not start\n");
        return 1;
    }
    KivrenAPI api(board.origin());

    // Two hosts on the same screen and switchboard, one per mode; one session at a time.
    struct Host
    {
        const char *name;
        std::unique_ptr<SettingsStore> settings;
        std::unique_ptr<MacHostService> service;
    };
    std::vector<Host> hosts;
    for (const bool everyPass : {true, false}) {
        Host host{everyPass ? "every pass (baseline)" : "changed only", nullptr, nullptr};
        const QString home = dir.filePath(QString::fromLatin1(everyPass ? "baseline" : "changed"));
        host.settings = std::make_unique<SettingsStore>(home + QStringLiteral("/settings.ini"));
        MacHostService::Options options;
        options.settings = host.settings.get();
        options.switchboardBase = board.origin();
        options.switchboardKey = key;
        options.launcherRoots = {home + QStringLiteral("/home"), {}, std::nullopt};
        options.tunnelDirectories = {home + QStringLiteral("/tools/")};
        options.desktop = desktop.get();
        options.computerName = QStringLiteral("bench");
        options.startChildren = false;
        options.timing.firstPass = std::chrono::milliseconds(20);
        options.pushEveryPass = everyPass;
        host.service = std::make_unique<MacHostService>(std::move(options), nullptr);
        hosts.push_back(std::move(host));
    }
    for (Host &host : hosts) {
        const bool online = runUntil([&] {
            const KivrenAnswer answer =
                QCoro::waitFor(api.post(QStringLiteral("lookup"), {{QStringLiteral("id"), host.service->publicId()}}));
            return answer.ok() && answer.object.value(QStringLiteral("online")).toBool();
        }, std::chrono::seconds(20));
        if (!online) {
            std::fprintf(stderr, "a host never registered\n");
            return 1;
        }
    }

    // The columns: which host, and whether its viewer names tiles.
    struct Mode
    {
        const char *name;
        size_t host;
        bool namesTiles;
    };
    const std::vector<Mode> modes{{"outside viewer", 1, false},
                                  {"tile-capable viewer", 1, true},
                                  {"every pass (baseline)", 0, false}};
    const std::vector<Scene> scenes{Scene::still, Scene::cursor, Scene::typing, Scene::scrolling, Scene::video};
    // samples[scene][mode] per round
    std::vector<std::vector<std::vector<Sample>>> samples(scenes.size(), std::vector<std::vector<Sample>>(modes.size()));
    for (int round = 0; round < kRounds; ++round) {
        for (size_t s = 0; s < scenes.size(); ++s) {
            for (size_t m = 0; m < modes.size(); ++m) {
                const auto sample = measure(*hosts[modes[m].host].service, api, board.origin(), xvfb.name(), scenes[s],
                                            modes[m].namesTiles);
                if (!sample)
                    return 1;
                samples[s][m].push_back(*sample);
                std::fprintf(stderr, "round %d, %s, %s: %.1f KB/s, %.2f %% CPU, %.1f pictures/s, %.1f tiles frames/s\n",
                             round + 1, sceneName(scenes[s]), modes[m].name, sample->kilobytesPerSecond,
                             sample->cpuPercent, sample->picturesPerSecond, sample->tileFramesPerSecond);
            }
        }
    }

    std::printf("\nPer scene, %dx%d host screen, %lld s each, medians of %d rounds; outside viewers polling\n"
                "with a 90 ms pause. The host pushes only on change; the tile-capable viewer names \"tiles\" in\n"
                "its caps and gets the changed areas. Baseline: the same host pushing a whole picture on every\n"
                "pass (as before), measured in the same run. Frames: whole pictures + tiles frames per second.\n\n",
                kWidth, kHeight, static_cast<long long>(kMeasure.count()), kRounds);
    std::printf("| scene | outside viewer: KB/s | CPU %% | tile-capable viewer: KB/s | CPU %% | frames/s | "
                "every pass (baseline): KB/s | CPU %% | bytes vs baseline: outside / tiles |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    for (size_t s = 0; s < scenes.size(); ++s) {
        auto column = [&](size_t m, double Sample::*field) {
            std::vector<double> v;
            for (const Sample &sample : samples[s][m])
                v.push_back(sample.*field);
            return median(v);
        };
        const double outside = column(0, &Sample::kilobytesPerSecond);
        const double tiles = column(1, &Sample::kilobytesPerSecond);
        const double baseline = column(2, &Sample::kilobytesPerSecond);
        std::printf("| %s | %.1f | %.2f | %.1f | %.2f | %.1f + %.1f | %.1f | %.2f | %.3f / %.3f |\n", sceneName(scenes[s]),
                    outside, column(0, &Sample::cpuPercent), tiles, column(1, &Sample::cpuPercent),
                    column(1, &Sample::picturesPerSecond), column(1, &Sample::tileFramesPerSecond), baseline,
                    column(2, &Sample::cpuPercent), baseline > 0 ? outside / baseline : 0.0,
                    baseline > 0 ? tiles / baseline : 0.0);
    }
    std::printf("\n");
    hosts.clear();
    curl_global_cleanup();
    return 0;
}
