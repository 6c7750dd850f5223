// The host's two loops against the one loop hosts ran before (HostSession::Options::onePassLoop,
// the baseline), both measured in the same run: an in-process MacHostService on the real X11
// backend of a private 1920x1080 Xvfb, against the real switchboard (node cloud/server.mjs) on a
// free loopback port, with viewers on threads of their own:
//
//   - this app's kind of viewer: long polls ("waitMs", the connect answer's "maxWaitMs"), names
//     "tiles" in its caps, decodes every picture and tiles frame it gets (TurboJPEG);
//   - an outside viewer: polls at once with a 90 ms pause after each answer, no caps.
//
// Figures: keystroke to changed pixels in the viewer's picture (a text message pushed, typed by
// the host into a window that flips a block's colour on each key press, the block read back out
// of the decoded picture), median and p95, straight to the switchboard and through the tunnel
// stand-in (bench/tunnel-proxy.mjs) at 40 ms round trip (only the viewer's requests cross it);
// pictures a second of a 1920x1080 screen changing every frame; still-screen CPU of the host (this
// process without the viewer's thread) and of its switchboard (the node process); the window's
// thread's longest stall (a 5 ms timer's lateness) while the screen changes every frame.
//
// Encrypted against plaintext, in the same run: the two-loop host and this app's kind of viewer
// at 0 ms, once in a plaintext session (those are the figures above, the baseline) and once in an
// encrypted one (connect without the password naming "e2e", the key exchange driven on the
// viewer's thread, then every push sealed and every poll answer opened before it is shown).
#include "HostKey.h"
#include "KeyExchange.h"
#include "KivrenAPI.h"
#include "MacHostService.h"
#include "SessionProtocol.h"
#include "SessionSeal.h"
#include "SettingsStore.h"
#include "SwitchboardProcess.h"
#include "SwitchboardRequests.h"
#include "X11DesktopBackend.h"
#include "XvfbServer.h"

#include <QCoroTask>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <curl/curl.h>
#include <turbojpeg.h>

#include <X11/Xlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr auto kWarmUp = std::chrono::milliseconds(1500);
constexpr auto kMeasure = std::chrono::seconds(6);
constexpr auto kOutsidePause = std::chrono::milliseconds(90);
constexpr auto kFrame = std::chrono::milliseconds(16);
constexpr auto kStallTimer = std::chrono::milliseconds(5);
constexpr int kKeystrokes = 40;
// The desktop viewer's own limit for the key exchange.
constexpr auto kExchangeLimit = std::chrono::milliseconds(35000);
constexpr int kTunnelDelayEachWayMs = 20;
constexpr int kTunnelMbit = 100;
// The block a key press flips, on the screen and in the viewer's 1280-wide picture.
constexpr int kBlockX = 880;
constexpr int kBlockY = 460;
constexpr int kBlockSide = 160;

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
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

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

double cpuSeconds(clockid_t clock)
{
    timespec t{};
    clock_gettime(clock, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// User and system time of another process, from /proc.
double processCpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    // After the command: state is field 3, utime 14, stime 15 (1-based in the whole line).
    return double(fields.value(11).toLongLong() + fields.value(12).toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

enum class Scene { still, everyFrame, keys };
enum class Mode { plaintext, encrypted };

// Plays one scene on the host's display from its own thread and X connection: a white page, then
// every frame a full-screen change, or a block that flips its colour on each key press.
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
        attrs.event_mask = KeyPressMask;
        const Window w = XCreateWindow(dpy, RootWindow(dpy, screen), 0, 0, kWidth, kHeight, 0, CopyFromParent,
                                       InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel | CWEventMask, &attrs);
        GC gc = XCreateGC(dpy, w, 0, nullptr);
        XMapRaised(dpy, w);
        XSync(dpy, False);
        XSetInputFocus(dpy, w, RevertToParent, CurrentTime);
        XClearWindow(dpy, w);
        XSetForeground(dpy, gc, 0x000000);
        const std::string line = "The quick brown fox jumps over the lazy dog, 0123456789 times, and then some more.";
        for (int y = 40; y < kHeight - 20; y += 18)
            XDrawString(dpy, w, gc, 40, y, line.c_str(), int(line.size()));
        XSetForeground(dpy, gc, 0xFFFFFF);
        XFillRectangle(dpy, w, gc, kBlockX, kBlockY, kBlockSide, kBlockSide);
        XSync(dpy, False);
        m_ready = true;

        const auto started = Clock::now();
        int step = 0;
        bool dark = false;
        while (!m_stop) {
            if (m_scene == Scene::everyFrame) {
                for (int x = 0; x < kWidth; x += 32) {
                    const unsigned v = unsigned(x + step * 24);
                    XSetForeground(dpy, gc, ((v * 3) & 0xFF) << 16 | ((v * 5) & 0xFF) << 8 | ((v * 7) & 0xFF));
                    XFillRectangle(dpy, w, gc, x, 0, 32, kHeight);
                }
                XSync(dpy, False);
                ++step;
                std::this_thread::sleep_until(started + kFrame * step);
                continue;
            }
            // A still screen: this thread costs nothing that would count as the host's.
            if (m_scene == Scene::still) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            while (XPending(dpy)) {
                XEvent event;
                XNextEvent(dpy, &event);
                if (event.type != KeyPress)
                    continue;
                dark = !dark;
                XSetForeground(dpy, gc, dark ? 0x000000 : 0xFFFFFF);
                XFillRectangle(dpy, w, gc, kBlockX, kBlockY, kBlockSide, kBlockSide);
            }
            XSync(dpy, False);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
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

size_t collect(char *data, size_t size, size_t count, void *user)
{
    static_cast<std::string *>(user)->append(data, size * count);
    return size * count;
}

// Decodes a JPEG and reads the brightness (0..255) at one of its pixels; -1 when it cannot.
int brightnessAt(tjhandle decoder, const QByteArray &jpeg, int x, int y, QSize *size = nullptr)
{
    int width = 0;
    int height = 0;
    int subsampling = 0;
    int colourspace = 0;
    const auto *bytes = reinterpret_cast<const unsigned char *>(jpeg.constData());
    if (tjDecompressHeader3(decoder, bytes, jpeg.size(), &width, &height, &subsampling, &colourspace) != 0)
        return -1;
    std::vector<unsigned char> rgb(size_t(width) * height * 3);
    if (tjDecompress2(decoder, bytes, jpeg.size(), rgb.data(), width, 0, height, TJPF_RGB, TJFLAG_FASTDCT) != 0)
        return -1;
    if (size)
        *size = QSize(width, height);
    if (x < 0 || y < 0 || x >= width || y >= height)
        return -1;
    const unsigned char *p = rgb.data() + (size_t(y) * width + x) * 3;
    return (p[0] + p[1] + p[2]) / 3;
}

// A viewer on its own thread with its own connection.
class Viewer
{
public:
    enum class Kind { longPolling, outside };

    // With `exchange`, the session was opened encrypted: the viewer runs the key exchange as
    // that party before anything else, and seals and opens every frame after it.
    Viewer(std::string origin, std::string sessionId, std::string token, Kind kind, std::optional<qint64> maxWaitMs,
           std::optional<KeyExchange::Party> exchange = std::nullopt)
        : m_origin(std::move(origin))
        , m_sessionId(std::move(sessionId))
        , m_token(std::move(token))
        , m_kind(kind)
        , m_wait(kind == Kind::longPolling ? maxWaitMs : std::nullopt)
        , m_party(std::move(exchange))
    {}
    ~Viewer() { stop(); }

    // Polls and shows pictures until stopped, counting what it shows while `counting`.
    void start()
    {
        m_thread = std::thread([this] {
            if (init())
                while (!m_stop && !m_failed)
                    pollOnce();
            finish();
        });
    }
    // Sends `keystrokes` text messages, one at a time, and for each measures the time until the
    // block's colour flips in the picture shown; runs on its own thread, returns when done.
    std::vector<double> keystrokes(int count)
    {
        std::vector<double> latencies;
        m_thread = std::thread([&] {
            if (!init()) {
                finish();
                return;
            }
            // The first picture, so that the block's colour is known.
            const auto ready = Clock::now() + std::chrono::seconds(10);
            while (m_block < 0 && !m_failed && Clock::now() < ready)
                pollOnce();
            for (int i = 0; i < count && m_block >= 0 && !m_failed; ++i) {
                const bool dark = m_block < 128;
                const auto sent = Clock::now();
                pushJson(R"({"key":"a","type":"text"})");
                const auto giveUp = sent + std::chrono::seconds(5);
                while ((m_block < 128) == dark && !m_failed && Clock::now() < giveUp)
                    pollOnce();
                if ((m_block < 128) != dark)
                    latencies.push_back(ms(Clock::now() - sent));
                // A pause such as a typist leaves, polling on meanwhile.
                const auto next = Clock::now() + std::chrono::milliseconds(150 + (i * 37) % 100);
                while (Clock::now() < next && !m_failed)
                    pollOnce(next);
            }
            finish();
        });
        m_thread.join();
        return latencies;
    }
    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }

    void setCounting(bool counting)
    {
        if (counting)
            m_cpuAtStart = m_cpu.load();
        m_counting = counting;
    }
    long long shown() const { return m_shown; }
    // The exchange failed or a frame did not open: nothing after it was shown.
    bool failed() const { return m_failed; }
    long long bytes() const { return m_bytes; }
    // CPU time of this viewer's thread while counting.
    double cpuSeconds() const { return m_cpu - m_cpuAtStart; }

private:
    // False when an encrypted session's exchange failed.
    bool init()
    {
        m_curl = curl_easy_init();
        m_headers = curl_slist_append(nullptr, "Content-Type: application/json");
        m_decoder = tjInitDecompress();
        if (m_party && !exchangeKeys())
            m_failed = true;
        return !m_failed;
    }

    // The desktop viewer's exchange, driven in turn on this thread: push "e2e-open", answer the
    // host's share, take its proof; then poll again from before the answer that held the proof,
    // since the host's sealed hello may have come in it.
    bool exchangeKeys()
    {
        KeyExchange exchange = KeyExchange::forViewer(*m_party);
        push(KeyExchange::frameOf(exchange.openMessage()));
        const auto deadline = Clock::now() + kExchangeLimit;
        while (Clock::now() < deadline && !m_stop) {
            const qint64 before = m_since;
            const std::optional<QJsonObject> answer = poll(std::nullopt);
            if (!answer) {
                std::this_thread::sleep_for(kOutsidePause);
                continue;
            }
            for (const SessionProtocol::Frame &frame : SessionProtocol::decodeFrames(*answer)) {
                const QString type = frame.message ? frame.message->value(QStringLiteral("type")).toString() : QString();
                if (type != KeyExchange::typeShare && type != KeyExchange::typeConfirm)
                    continue;
                const KeyExchange::Step step = exchange.receive(*frame.message);
                if (step.failure)
                    return false;
                if (step.reply)
                    push(KeyExchange::frameOf(*step.reply));
                if (step.established) {
                    m_since = before;
                    m_seal.emplace(step.established->channel);
                    return true;
                }
            }
        }
        return false;
    }
    void finish()
    {
        tjDestroy(m_decoder);
        curl_slist_free_all(m_headers);
        curl_easy_cleanup(m_curl);
    }

    bool post(const char *path, const std::string &body, std::string &answer)
    {
        const std::string url = m_origin + "/v1/" + path;
        answer.clear();
        curl_easy_setopt(m_curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(m_curl, CURLOPT_HTTPHEADER, m_headers);
        curl_easy_setopt(m_curl, CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(m_curl, CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(m_curl, CURLOPT_WRITEDATA, &answer);
        curl_easy_setopt(m_curl, CURLOPT_TIMEOUT_MS, 40000L);
        return curl_easy_perform(m_curl) == CURLE_OK;
    }

    void push(const SessionProtocol::Envelope &frame)
    {
        const std::string body = R"({"kind":")" + frame.kind.toStdString() + R"(","payload":")"
            + frame.base64.toStdString() + R"(","role":"viewer","sessionId":")" + m_sessionId + R"(","token":")"
            + m_token + R"("})";
        std::string ignored;
        post("push", body, ignored);
    }

    // A json message, sealed once the session's keys are set.
    void pushJson(const QByteArray &message)
    {
        const SessionProtocol::Envelope plain{SessionProtocol::kindJson, message.toBase64()};
        push(m_seal ? m_seal->seal(plain) : plain);
    }

    // One poll, its cursor taken; none when the request failed. Its wait never runs past `until`.
    std::optional<QJsonObject> poll(std::optional<Clock::time_point> until)
    {
        std::string request = R"({"role":"viewer","sessionId":")" + m_sessionId + R"(","since":)"
            + std::to_string(m_since) + R"(,"token":")" + m_token + R"(")";
        if (m_wait) {
            qint64 wait = *m_wait;
            if (until)
                wait = std::max<qint64>(0, std::min<qint64>(wait, qint64(ms(*until - Clock::now()))));
            request += R"(,"waitMs":)" + std::to_string(wait);
        }
        request += "}";
        std::string body;
        if (!post("poll", request, body))
            return std::nullopt;
        const QJsonObject answer =
            QJsonDocument::fromJson(QByteArray::fromRawData(body.data(), qsizetype(body.size()))).object();
        if (answer.value(QStringLiteral("since")).isDouble())
            m_since = answer.value(QStringLiteral("since")).toInteger();
        if (m_counting)
            m_bytes += qint64(body.size());
        return answer;
    }

    // One poll and what its answer shows; the outside viewer pauses after it, as does a
    // long-polling one after an empty answer that came at once. Never past `until`.
    void pollOnce(std::optional<Clock::time_point> until = std::nullopt)
    {
        const auto sent = Clock::now();
        const std::optional<QJsonObject> answer = poll(until);
        const bool ok = answer.has_value();
        const bool any = ok && show(*answer);
        m_cpu = ::cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        const bool pause = !ok || m_kind == Kind::outside || (!any && Clock::now() - sent < kOutsidePause);
        if (pause) {
            auto until2 = Clock::now() + kOutsidePause;
            if (until && *until < until2)
                until2 = *until;
            std::this_thread::sleep_until(until2);
        }
    }

    // Decodes what the answer shows, after opening its frames in an encrypted session; true
    // when it had any frame.
    bool show(const QJsonObject &answer)
    {
        QList<SessionProtocol::Frame> frames = SessionProtocol::decodeFrames(answer);
        if (m_seal) {
            SessionSeal::Opened opened = m_seal->open(frames);
            if (opened.failed)
                m_failed = true;
            frames = std::move(opened.frames);
        }
        QList<SessionProtocol::HostMessage> messages;
        for (const SessionProtocol::Frame &frame : frames)
            if (auto message = SessionProtocol::decodeHostMessage(frame))
                messages.append(std::move(*message));
        bool picture = false;
        for (const SessionProtocol::HostMessage &message : messages) {
            if (std::holds_alternative<SessionProtocol::Hello>(message) && m_kind == Kind::longPolling)
                pushJson(R"({"features":["tiles"],"type":"caps"})");
            if (const auto *whole = std::get_if<SessionProtocol::Picture>(&message)) {
                QSize size;
                brightnessAt(m_decoder, whole->jpeg, 0, 0, &size);
                m_pictureSize = size;
                const int x = (kBlockX + kBlockSide / 2) * size.width() / kWidth;
                const int y = (kBlockY + kBlockSide / 2) * size.height() / kHeight;
                m_block = brightnessAt(m_decoder, whole->jpeg, x, y);
                picture = true;
            }
            if (const auto *tiles = std::get_if<SessionProtocol::Tiles>(&message)) {
                const int x = (kBlockX + kBlockSide / 2) * tiles->pictureSize.width() / kWidth;
                const int y = (kBlockY + kBlockSide / 2) * tiles->pictureSize.height() / kHeight;
                for (const SessionProtocol::Tile &tile : tiles->tiles) {
                    const int seen = brightnessAt(m_decoder, tile.jpeg, x - tile.position.x(), y - tile.position.y());
                    if (seen >= 0)
                        m_block = seen;
                }
                picture = true;
            }
        }
        if (picture && m_counting)
            ++m_shown;
        return !messages.isEmpty();
    }

    std::string m_origin;
    std::string m_sessionId;
    std::string m_token;
    Kind m_kind;
    std::optional<qint64> m_wait;
    std::optional<KeyExchange::Party> m_party;
    std::optional<SessionSeal> m_seal;
    std::atomic<bool> m_failed{false};
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_counting{false};
    std::atomic<long long> m_shown{0};
    std::atomic<long long> m_bytes{0};
    std::atomic<double> m_cpu{0};
    double m_cpuAtStart = 0;
    CURL *m_curl = nullptr;
    curl_slist *m_headers = nullptr;
    tjhandle m_decoder = nullptr;
    qint64 m_since = 0;
    QSize m_pictureSize;
    std::atomic<int> m_block{-1};
};

// The tunnel stand-in as a child: node bench/tunnel-proxy.mjs in front of the switchboard.
class TunnelProxy
{
public:
    explicit TunnelProxy(quint16 upstream)
    {
        m_process.setProgram(QStringLiteral(KIVREN_NODE));
        m_process.setArguments({QStringLiteral(KIVREN_SOURCE_DIR "/bench/tunnel-proxy.mjs"), QStringLiteral("--upstream"),
                                QString::number(upstream), QStringLiteral("--delay-ms"),
                                QString::number(kTunnelDelayEachWayMs), QStringLiteral("--mbit"),
                                QString::number(kTunnelMbit), QStringLiteral("--stop-after-s"), QStringLiteral("900")});
        m_process.start();
        if (!m_process.waitForStarted(10000))
            return;
        QByteArray out;
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (!out.contains('\n') && Clock::now() < deadline) {
            m_process.waitForReadyRead(200);
            out += m_process.readAllStandardOutput();
        }
        const qsizetype colon = out.indexOf(':');
        const qsizetype arrow = out.indexOf(" ->");
        if (colon > 0 && arrow > colon)
            m_port = out.mid(colon + 1, arrow - colon - 1).toUShort();
    }
    ~TunnelProxy()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    quint16 port() const { return m_port; }

private:
    QProcess m_process;
    quint16 m_port = 0;
};

struct Session
{
    QString id;
    QString token;
    std::optional<qint64> maxWaitMs;
};

// An encrypted connect names "e2e" and leaves the password out: the exchange proves it.
std::optional<Session> connect(MacHostService &service, KivrenAPI &api, Mode mode)
{
    QJsonObject request{{QStringLiteral("id"), service.publicId()},
                        {QStringLiteral("clientName"), QStringLiteral("bench")},
                        {QStringLiteral("clientPlatform"), QStringLiteral("web")}};
    if (mode == Mode::encrypted)
        request.insert(QStringLiteral("features"), QJsonArray{SwitchboardRequests::featureE2e});
    else
        request.insert(QStringLiteral("password"), service.password());
    const KivrenAnswer opened = QCoro::waitFor(api.post(QStringLiteral("connect"), request));
    Session session{opened.object.value(QStringLiteral("sessionId")).toString(),
                    opened.object.value(QStringLiteral("sessionToken")).toString(), std::nullopt};
    if (opened.object.value(QStringLiteral("maxWaitMs")).isDouble())
        session.maxWaitMs = opened.object.value(QStringLiteral("maxWaitMs")).toInteger();
    if (!opened.ok() || session.id.isEmpty() || !runUntil([&] { return service.live(); }, std::chrono::seconds(10))) {
        std::fprintf(stderr, "the session did not open\n");
        return std::nullopt;
    }
    return session;
}

// The viewer's side of the exchange for an encrypted session, none for a plaintext one.
std::optional<KeyExchange::Party> viewerParty(const MacHostService &service, const Session &session, Mode mode)
{
    if (mode == Mode::plaintext)
        return std::nullopt;
    return KeyExchange::Party{service.password(), service.publicId(), session.id,
                              SessionFeatures{SessionProtocol::featureTiles}};
}

// The viewer got through its session, and the host saw it encrypted when it was meant to be.
bool sessionHeld(const MacHostService &service, const Viewer &viewer, Mode mode)
{
    if (viewer.failed() || service.encrypted() != (mode == Mode::encrypted)) {
        std::fprintf(stderr, "the %s session failed\n", mode == Mode::encrypted ? "encrypted" : "plaintext");
        return false;
    }
    return true;
}

bool close(MacHostService &service, KivrenAPI &api, const Session &session)
{
    QCoro::waitFor(api.post(QStringLiteral("close"), {{QStringLiteral("sessionId"), session.id},
                                                      {QStringLiteral("token"), session.token},
                                                      {QStringLiteral("role"), QStringLiteral("viewer")}}));
    return runUntil([&] { return !service.live(); }, std::chrono::seconds(10));
}

struct Flow
{
    double picturesPerSecond = 0;
    double kilobytesPerSecond = 0;
    double hostCpuPercent = 0;
    double switchboardCpuPercent = 0;
    double longestStallMs = 0;
    double stallP99Ms = 0;
};

// One session while `scene` plays, its viewer counting what it shows.
std::optional<Flow> measureFlow(MacHostService &service, KivrenAPI &api, const std::string &origin, qint64 boardPid,
                                const std::string &display, Scene scene, Viewer::Kind kind, Mode mode = Mode::plaintext)
{
    ScenePainter painter(display, scene);
    const std::optional<Session> session = connect(service, api, mode);
    if (!session)
        return std::nullopt;
    Flow flow;
    bool held = false;
    {
        Viewer viewer(origin, session->id.toStdString(), session->token.toStdString(), kind, session->maxWaitMs,
                      viewerParty(service, *session, mode));
        viewer.start();
        runFor(kWarmUp);

        // The window's thread: a timer due every 5 ms, and how late it came.
        std::vector<double> lateness;
        auto due = Clock::now() + kStallTimer;
        QTimer stall;
        stall.setTimerType(Qt::PreciseTimer);
        QObject::connect(&stall, &QTimer::timeout, [&] {
            const auto now = Clock::now();
            lateness.push_back(std::max(0.0, ms(now - due)));
            due = now + kStallTimer;
        });
        if (scene == Scene::everyFrame)
            stall.start(kStallTimer);

        viewer.setCounting(true);
        const double process = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        const double board = processCpuSeconds(boardPid);
        const auto started = Clock::now();
        runFor(kMeasure);
        const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        stall.stop();
        viewer.setCounting(false);
        flow.picturesPerSecond = double(viewer.shown()) / seconds;
        flow.kilobytesPerSecond = double(viewer.bytes()) / 1000.0 / seconds;
        flow.hostCpuPercent = 100.0 * (cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - process - viewer.cpuSeconds()) / seconds;
        flow.switchboardCpuPercent = 100.0 * (processCpuSeconds(boardPid) - board) / seconds;
        flow.longestStallMs = lateness.empty() ? 0 : *std::max_element(lateness.begin(), lateness.end());
        flow.stallP99Ms = percentile(lateness, 0.99);
        viewer.stop();
        held = sessionHeld(service, viewer, mode);
    }
    if (!close(service, api, *session) || !held)
        return std::nullopt;
    return flow;
}

// Keystroke to changed pixels, with this app's kind of viewer at `origin`.
std::optional<std::vector<double>> measureKeys(MacHostService &service, KivrenAPI &api, const std::string &origin,
                                               const std::string &display, Mode mode = Mode::plaintext)
{
    ScenePainter painter(display, Scene::keys);
    const std::optional<Session> session = connect(service, api, mode);
    if (!session)
        return std::nullopt;
    std::vector<double> latencies;
    bool held = false;
    {
        Viewer viewer(origin, session->id.toStdString(), session->token.toStdString(), Viewer::Kind::longPolling,
                      session->maxWaitMs, viewerParty(service, *session, mode));
        // The host's loop runs on this thread: the viewer's thread is waited for by turning it.
        std::atomic<bool> done{false};
        std::thread waiter([&] {
            latencies = viewer.keystrokes(kKeystrokes);
            done = true;
        });
        runUntil([&] { return done.load(); }, std::chrono::seconds(120));
        waiter.join();
        held = sessionHeld(service, viewer, mode);
    }
    if (!close(service, api, *session) || !held)
        return std::nullopt;
    return latencies;
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
    TunnelProxy tunnel(board.port());
    if (!board.running() || tunnel.port() == 0) {
        std::fprintf(stderr, "the switchboard or the tunnel stand-in did not start\n");
        return 1;
    }
    KivrenAPI api(board.origin());
    const std::string direct = board.origin().toStdString();
    const std::string tunnelled = "http://127.0.0.1:" + std::to_string(tunnel.port());

    struct Host
    {
        const char *name;
        std::unique_ptr<SettingsStore> settings;
        std::unique_ptr<MacHostService> service;
    };
    std::vector<Host> hosts;
    for (const bool onePass : {false, true}) {
        Host host{onePass ? "one loop (baseline)" : "two loops", nullptr, nullptr};
        const QString home = dir.filePath(QString::fromLatin1(onePass ? "baseline" : "loops"));
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
        options.onePassLoop = onePass;
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

    struct Row
    {
        std::vector<double> keysDirect;
        std::vector<double> keysTunnel;
        Flow framesDirect;
        Flow framesTunnel;
        Flow framesOutside;
        Flow stillOwnViewer;
        Flow stillOutside;
        // The same two at 0 ms in encrypted sessions (the two-loop host only).
        std::vector<double> keysSealed;
        Flow framesSealed;
    };
    std::vector<Row> rows(hosts.size());
    const qint64 pid = board.processId();
    for (size_t h = 0; h < hosts.size(); ++h) {
        MacHostService &service = *hosts[h].service;
        Row &row = rows[h];
        const auto keys = [&](const std::string &origin, std::vector<double> &into, Mode mode = Mode::plaintext) {
            const auto measured = measureKeys(service, api, origin, xvfb.name(), mode);
            if (!measured)
                return false;
            into = *measured;
            std::fprintf(stderr, "%s, keys via %s%s: %zu, median %.1f ms\n", hosts[h].name, origin.c_str(),
                         mode == Mode::encrypted ? ", encrypted" : "", into.size(), percentile(into, 0.5));
            return true;
        };
        const auto flow = [&](const std::string &origin, Scene scene, Viewer::Kind kind, Flow &into, const char *what,
                              Mode mode = Mode::plaintext) {
            const auto measured = measureFlow(service, api, origin, pid, xvfb.name(), scene, kind, mode);
            if (!measured)
                return false;
            into = *measured;
            std::fprintf(stderr, "%s, %s: %.1f pictures/s, %.0f KB/s, host %.2f %%, switchboard %.2f %%, stall %.1f ms (p99 %.1f)\n",
                         hosts[h].name, what, into.picturesPerSecond, into.kilobytesPerSecond, into.hostCpuPercent,
                         into.switchboardCpuPercent, into.longestStallMs, into.stallP99Ms);
            return true;
        };
        // Each encrypted figure right after its plaintext baseline, so that both see the same load.
        const bool sealed = h == 0;
        if (!keys(direct, row.keysDirect) || (sealed && !keys(direct, row.keysSealed, Mode::encrypted))
            || !keys(tunnelled, row.keysTunnel)
            || !flow(direct, Scene::everyFrame, Viewer::Kind::longPolling, row.framesDirect, "every frame, direct")
            || (sealed
                && !flow(direct, Scene::everyFrame, Viewer::Kind::longPolling, row.framesSealed,
                         "every frame, direct, encrypted", Mode::encrypted))
            || !flow(tunnelled, Scene::everyFrame, Viewer::Kind::longPolling, row.framesTunnel, "every frame, 40 ms")
            || !flow(direct, Scene::everyFrame, Viewer::Kind::outside, row.framesOutside, "every frame, outside viewer")
            || !flow(direct, Scene::still, Viewer::Kind::longPolling, row.stillOwnViewer, "still, this app's viewer")
            || !flow(direct, Scene::still, Viewer::Kind::outside, row.stillOutside, "still, outside viewer"))
            return 1;
    }

    std::printf("\nHost on a %dx%d Xvfb, in this process, against its switchboard on loopback; %lld s per flow.\n"
                "Viewer: long polls, names tiles, decodes every frame; the outside viewer polls with a 90 ms pause.\n"
                "Tunnel: bench/tunnel-proxy.mjs, %d ms each way, %d Mbit/s, only the viewer's requests cross it.\n"
                "Baseline: the same host running the one loop it ran before (picture, poll, 90 ms pause).\n\n",
                kWidth, kHeight, static_cast<long long>(kMeasure.count()), kTunnelDelayEachWayMs, kTunnelMbit);
    std::printf("| figure | two loops | one loop (baseline) | ratio |\n|---|---|---|---|\n");
    const auto line = [&](const char *name, double now, double before, const char *unit) {
        std::printf("| %s | %.2f %s | %.2f %s | %.2f |\n", name, now, unit, before, unit, before > 0 ? now / before : 0.0);
    };
    line("key to picture, 0 ms, median", percentile(rows[0].keysDirect, 0.5), percentile(rows[1].keysDirect, 0.5), "ms");
    line("key to picture, 0 ms, p95", percentile(rows[0].keysDirect, 0.95), percentile(rows[1].keysDirect, 0.95), "ms");
    line("key to picture, 40 ms round trip, median", percentile(rows[0].keysTunnel, 0.5),
         percentile(rows[1].keysTunnel, 0.5), "ms");
    line("key to picture, 40 ms round trip, p95", percentile(rows[0].keysTunnel, 0.95),
         percentile(rows[1].keysTunnel, 0.95), "ms");
    line("screen changing every frame: pictures/s, 0 ms", rows[0].framesDirect.picturesPerSecond,
         rows[1].framesDirect.picturesPerSecond, "");
    line("the same, 40 ms round trip", rows[0].framesTunnel.picturesPerSecond, rows[1].framesTunnel.picturesPerSecond, "");
    line("the same, outside viewer (90 ms pause)", rows[0].framesOutside.picturesPerSecond,
         rows[1].framesOutside.picturesPerSecond, "");
    line("window's longest stall while it changes (0 ms)", rows[0].framesDirect.longestStallMs,
         rows[1].framesDirect.longestStallMs, "ms");
    line("  its 99th percentile", rows[0].framesDirect.stallP99Ms, rows[1].framesDirect.stallP99Ms, "ms");
    line("still screen, this app's viewer: host CPU", rows[0].stillOwnViewer.hostCpuPercent,
         rows[1].stillOwnViewer.hostCpuPercent, "%");
    line("  its switchboard CPU", rows[0].stillOwnViewer.switchboardCpuPercent,
         rows[1].stillOwnViewer.switchboardCpuPercent, "%");
    line("  bytes to the viewer", rows[0].stillOwnViewer.kilobytesPerSecond, rows[1].stillOwnViewer.kilobytesPerSecond,
         "KB/s");
    line("still screen, outside viewer: host CPU", rows[0].stillOutside.hostCpuPercent,
         rows[1].stillOutside.hostCpuPercent, "%");
    line("  its switchboard CPU", rows[0].stillOutside.switchboardCpuPercent, rows[1].stillOutside.switchboardCpuPercent,
         "%");
    line("  bytes to the viewer", rows[0].stillOutside.kilobytesPerSecond, rows[1].stillOutside.kilobytesPerSecond,
         "KB/s");

    std::printf("\nEncrypted sessions: the two-loop host, this app's viewer at 0 ms, each figure in a session of its\n"
                "own right after its plaintext one. Baseline: the plaintext session (the two-loop figures above).\n\n");
    std::printf("| figure | encrypted | plaintext (baseline) | ratio |\n|---|---|---|---|\n");
    const Row &two = rows[0];
    line("key to picture, 0 ms, median", percentile(two.keysSealed, 0.5), percentile(two.keysDirect, 0.5), "ms");
    line("key to picture, 0 ms, p95", percentile(two.keysSealed, 0.95), percentile(two.keysDirect, 0.95), "ms");
    line("screen changing every frame: pictures/s, 0 ms", two.framesSealed.picturesPerSecond,
         two.framesDirect.picturesPerSecond, "");
    line("  host CPU while it changes", two.framesSealed.hostCpuPercent, two.framesDirect.hostCpuPercent, "%");
    line("  bytes to the viewer", two.framesSealed.kilobytesPerSecond, two.framesDirect.kilobytesPerSecond, "KB/s");
    return 0;
}
