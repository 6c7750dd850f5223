// The host's per-frame picture work on a real X screen: capture of the main display, scaling
// and JPEG encoding (MacCapture::pictureImage and encode, as the session makes a whole picture)
// and the base64 of the push, against the bare building
// blocks measured in the same run: one XShmGetImage, one libyuv box scale and one TurboJPEG
// encode of the target frame.
//
// Each screen size gets its own private Xvfb showing text and flat areas.
//
// The Wayland row runs this program again inside a private headless GNOME desktop
// (tests/support/wayland-session, 1920x1080) where a client window animates a desktop-like
// picture, so that the screen cast keeps delivering frames. It times the host's work from a
// PipeWire buffer in hand (taking the newest frame) to the base64 picture, against the bare
// scale, encode and base64 of the same buffer, in the same rounds.
#include "Base64.h"
#include "MacCapture.h"
#include "PipeWireCapture.h"
#include "WaitUntil.h"
#include "WaylandDesktopBackend.h"
#include "WaylandProbeProcess.h"
#include "X11DesktopBackend.h"
#include "XvfbServer.h"

#include <QCoreApplication>
#include <QProcess>

#include <libyuv/scale_argb.h>
#include <turbojpeg.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>

namespace {

constexpr int frames = 150;
constexpr int warmUp = 10;
constexpr double maxWidth = 1280;
constexpr double quality = 0.42;

// The whole picture a host session makes of one capture: scaled to the session's width and
// encoded at its quality.
std::optional<QByteArray> hostPicture(const std::optional<ScreenImage> &image)
{
    if (!image)
        return std::nullopt;
    const std::optional<ScreenImage> picture = MacCapture::pictureImage(*image, maxWidth);
    return picture ? MacCapture::encode(*picture, QRect(), quality) : std::nullopt;
}
constexpr const char *waylandRowFlag = "--wayland-row";
constexpr const char *waylandScreen = "1920x1080";
// Setting up the desktop and its screen cast, and the first frames, under load.
constexpr int waylandStartTimeoutMs = 30000;

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The steps run in turn within each round, so that load from elsewhere on the machine falls
// on all of them alike; each step's median is taken over the rounds.
std::vector<double> interleavedMedians(const std::vector<std::function<void()>> &steps)
{
    std::vector<std::vector<double>> times(steps.size());
    for (int round = 0; round < warmUp + frames; ++round) {
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const auto start = Clock::now();
            steps[i]();
            if (round >= warmUp)
                times[i].push_back(millisecondsSince(start));
        }
    }
    std::vector<double> medians;
    for (const std::vector<double> &samples : times)
        medians.push_back(median(samples));
    return medians;
}

// A desktop-like picture: a few flat panels, a title bar, and many lines of text.
void paintDesktop(Display *display, int width, int height)
{
    const int screen = DefaultScreen(display);
    const Window root = RootWindow(display, screen);
    GC gc = XCreateGC(display, root, 0, nullptr);
    const auto fill = [&](unsigned long colour, int x, int y, int w, int h) {
        XSetForeground(display, gc, colour);
        XFillRectangle(display, root, gc, x, y, static_cast<unsigned>(w), static_cast<unsigned>(h));
    };
    fill(0x2d4f7c, 0, 0, width, height);                                    // wallpaper
    fill(0xf4f4f4, width / 10, height / 10, width * 6 / 10, height * 7 / 10); // document window
    fill(0xd8d8d8, width / 10, height / 10, width * 6 / 10, 28);             // its title bar
    fill(0x1e1e1e, width * 3 / 4, height / 5, width / 5, height / 2);        // terminal
    fill(0xe0e0e0, 0, height - 36, width, 36);                               // dock

    if (XFontStruct *font = XLoadQueryFont(display, "fixed")) {
        XSetFont(display, gc, font->fid);
        const char *lines[] = {
            "The quick brown fox jumps over the lazy dog 0123456789",
            "int main(int argc, char **argv) { return run(argc, argv); }",
            "Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do",
            "eiusmod tempor incididunt ut labore et dolore magna aliqua.",
        };
        int index = 0;
        XSetForeground(display, gc, 0x202020);
        for (int y = height / 10 + 48; y < height * 8 / 10 - 10; y += 16, ++index) {
            const char *line = lines[index % 4];
            XDrawString(display, root, gc, width / 10 + 12, y, line, static_cast<int>(strlen(line)));
        }
        XSetForeground(display, gc, 0x9fe870);
        for (int y = height / 5 + 20; y < height * 7 / 10 - 10; y += 14, ++index)
            XDrawString(display, root, gc, width * 3 / 4 + 8, y, lines[index % 4], 40);
        XFreeFont(display, font);
    }
    XFreeGC(display, gc);
    XSync(display, False);
}

struct Row
{
    std::string screen;
    double capture = 0;
    double jpeg = 0;
    double base64 = 0;
    double total = 0;
    qsizetype bytes = 0;
    double bareCapture = 0;
    double bareScale = 0;
    double bareEncode = 0;
};

bool measure(int width, int height, Row &row)
{
    XvfbServer server(width, height);
    if (!server.running()) {
        std::fprintf(stderr, "Xvfb %dx%d did not start\n", width, height);
        return false;
    }
    Display *display = XOpenDisplay(server.name().c_str());
    if (!display)
        return false;
    paintDesktop(display, width, height);

    auto backend = X11DesktopBackend::open(QString::fromStdString(server.name()));
    if (!backend || !backend->usesSharedMemory())
        return false;
    row.screen = std::to_string(width) + "x" + std::to_string(height);

    // The bare blocks work on prepared buffers: a shared-memory segment for GetImage, the
    // scaled frame, and TurboJPEG's output.
    const int screen = DefaultScreen(display);
    XShmSegmentInfo info{};
    XImage *shm = XShmCreateImage(display, DefaultVisual(display, screen),
                                  static_cast<unsigned>(DefaultDepth(display, screen)), ZPixmap, nullptr, &info,
                                  static_cast<unsigned>(width), static_cast<unsigned>(height));
    info.shmid = shmget(IPC_PRIVATE, static_cast<std::size_t>(shm->bytes_per_line) * height, IPC_CREAT | 0600);
    info.shmaddr = shm->data = static_cast<char *>(shmat(info.shmid, nullptr, 0));
    info.readOnly = False;
    XShmAttach(display, &info);
    XSync(display, False);
    shmctl(info.shmid, IPC_RMID, nullptr);
    const double scale = std::min(1.0, maxWidth / width);
    const int targetWidth = std::max(640, static_cast<int>(std::lround(width * scale)));
    const int targetHeight = std::max(400, static_cast<int>(std::lround(height * scale)));
    std::vector<std::uint8_t> scaled(static_cast<std::size_t>(targetWidth) * targetHeight * 4);
    const auto *source = reinterpret_cast<const std::uint8_t *>(shm->data);
    tjhandle handle = tjInitCompress();
    std::vector<unsigned char> output(tjBufSize(targetWidth, targetHeight, TJSAMP_420));

    std::optional<ScreenImage> image;
    std::optional<QByteArray> picture;
    const std::vector<double> medians = interleavedMedians({
        // The host frame as a whole, then its pieces.
        [&] {
            std::optional<QByteArray> frame = hostPicture(backend->captureMainDisplay());
            if (frame)
                Base64::encode(*frame);
        },
        [&] { image = backend->captureMainDisplay(); },
        [&] { picture = hostPicture(image); },
        [&] {
            Base64::encode(*picture);
            image.reset(); // a held image would keep the next capture from reusing its segment
        },
        // The bare blocks.
        [&] { XShmGetImage(display, RootWindow(display, screen), shm, 0, 0, AllPlanes); },
        [&] {
            libyuv::ARGBScale(source, shm->bytes_per_line, width, height, scaled.data(), targetWidth * 4,
                              targetWidth, targetHeight, libyuv::kFilterBox);
        },
        [&] {
            unsigned char *buffer = output.data();
            unsigned long size = output.size();
            tjCompress2(handle, scaled.data(), targetWidth, targetWidth * 4, targetHeight, TJPF_BGRX, &buffer,
                        &size, TJSAMP_420, static_cast<int>(std::lround(quality * 100)), TJFLAG_NOREALLOC);
        },
    });
    tjDestroy(handle);
    row.total = medians[0];
    row.capture = medians[1];
    row.jpeg = medians[2];
    row.base64 = medians[3];
    row.bareCapture = medians[4];
    row.bareScale = medians[5];
    row.bareEncode = medians[6];
    row.bytes = picture ? picture->size() : 0;

    XShmDetach(display, &info);
    XSync(display, False);
    shm->data = nullptr;
    XDestroyImage(shm);
    shmdt(info.shmaddr);
    backend.reset();
    XCloseDisplay(display);
    return true;
}

struct WaylandRow
{
    std::string screen;
    double take = 0;    // the newest buffer from the stream
    double picture = 0; // the host's picture (hostPicture) and base64 of that buffer
    qsizetype bytes = 0;
    double bare = 0; // libyuv box scale, TurboJPEG encode and base64 of the same buffer
    double framesPerSecond = 0;
};

// Inside the Wayland desktop: prints one line "wayland-row <fields of WaylandRow>".
int measureWayland()
{
    WaylandProbeProcess probe(true);
    const QSize size = probe.waitReady(waylandStartTimeoutMs);
    if (!size.isValid()) {
        std::fprintf(stderr, "the animated window did not come up\n");
        return 1;
    }
    WaylandDesktopBackend::Options options;
    options.path = WaylandDesktopBackend::Path::Mutter;
    WaylandDesktopBackend backend(options);
    if (!waitUntil([&] { return backend.captureMainDisplay().has_value(); }, waylandStartTimeoutMs)) {
        std::fprintf(stderr, "no frame from the screen cast: %s\n", qPrintable(backend.failure()));
        return 1;
    }

    const int width = size.width();
    const int height = size.height();
    const double scale = std::min(1.0, maxWidth / width);
    const int targetWidth = std::max(640, static_cast<int>(std::lround(width * scale)));
    const int targetHeight = std::max(400, static_cast<int>(std::lround(height * scale)));
    std::vector<std::uint8_t> scaled(static_cast<std::size_t>(targetWidth) * targetHeight * 4);
    tjhandle handle = tjInitCompress();
    std::vector<unsigned char> output(tjBufSize(targetWidth, targetHeight, TJSAMP_420));

    std::optional<ScreenImage> image;
    std::optional<QByteArray> picture;
    const std::uint64_t framesBefore = backend.capture().framesReceived();
    const auto started = Clock::now();
    const auto timed = [](const std::function<void()> &step) {
        const auto start = Clock::now();
        step();
        return millisecondsSince(start);
    };
    // The host's picture and the bare blocks, each one step: on a busy machine a long step is
    // interrupted more often than the sum of short ones, which would favour the pieces. Which of
    // the two reads the freshly written buffer first alternates from round to round.
    const auto hostFrame = [&] {
        picture = hostPicture(image);
        Base64::encode(*picture);
    };
    const auto bareBlocks = [&] {
        libyuv::ARGBScale(image->pixels, image->stride, image->width, image->height, scaled.data(), targetWidth * 4,
                          targetWidth, targetHeight, libyuv::kFilterBox);
        unsigned char *buffer = output.data();
        unsigned long bytes = output.size();
        tjCompress2(handle, scaled.data(), targetWidth, targetWidth * 4, targetHeight, TJPF_BGRX, &buffer, &bytes,
                    TJSAMP_420, static_cast<int>(std::lround(quality * 100)), TJFLAG_NOREALLOC);
        Base64::encode(QByteArray::fromRawData(reinterpret_cast<const char *>(output.data()), static_cast<qsizetype>(bytes)));
    };
    std::vector<double> takes;
    std::vector<double> pictures;
    std::vector<double> bares;
    for (int round = 0; round < warmUp + frames; ++round) {
        // Frames arrive between rounds, as they do between the host's pictures.
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        const double take = timed([&] { image = backend.captureMainDisplay(); });
        double host = 0;
        double bare = 0;
        if (round % 2) {
            host = timed(hostFrame);
            bare = timed(bareBlocks);
        } else {
            bare = timed(bareBlocks);
            host = timed(hostFrame);
        }
        image.reset(); // a held frame keeps its buffer from the compositor
        if (round < warmUp)
            continue;
        takes.push_back(take);
        pictures.push_back(host);
        bares.push_back(bare);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    tjDestroy(handle);

    WaylandRow row;
    row.take = median(takes);
    row.picture = median(pictures);
    row.bare = median(bares);
    row.bytes = picture ? picture->size() : 0;
    row.framesPerSecond = static_cast<double>(backend.capture().framesReceived() - framesBefore) / seconds;
    std::printf("wayland-row %dx%d %.4f %.4f %lld %.4f %.1f\n", width, height, row.take, row.picture,
                static_cast<long long>(row.bytes), row.bare, row.framesPerSecond);
    return 0;
}

// Runs this program again inside its own Wayland desktop and reads the row it prints.
std::optional<WaylandRow> waylandRow(const char *self)
{
    QProcess inner;
    inner.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    inner.start(QStringLiteral(KIVREN_WAYLAND_SESSION),
                {QStringLiteral("--size"), QString::fromLatin1(waylandScreen), QStringLiteral("--"),
                 QString::fromLocal8Bit(self), QString::fromLatin1(waylandRowFlag)});
    if (!inner.waitForFinished(5 * 60 * 1000) || inner.exitCode() != 0) {
        inner.kill();
        inner.waitForFinished();
        return std::nullopt;
    }
    for (const QByteArray &line : inner.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> words = line.split(' ');
        if (words.size() != 7 || words[0] != "wayland-row")
            continue;
        WaylandRow row;
        row.screen = words[1].toStdString();
        row.take = words[2].toDouble();
        row.picture = words[3].toDouble();
        row.bytes = words[4].toLongLong();
        row.bare = words[5].toDouble();
        row.framesPerSecond = words[6].toDouble();
        return row;
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], waylandRowFlag) == 0)
        return measureWayland();

    std::vector<Row> rows;
    for (const auto &[width, height] : {std::pair{1920, 1080}, std::pair{2880, 1800}}) {
        Row row;
        if (!measure(width, height, row))
            return 1;
        rows.push_back(row);
    }

    std::printf("Per-frame medians over %d frames, milliseconds (JPEG at quality %.0f, at most %.0f wide)\n\n",
                frames, quality * 100, maxWidth);
    std::printf("| screen | capture | jpeg (scale+encode) | base64 | total | bytes | bare XShmGetImage | bare box "
                "scale | bare encode | bare sum | total / bare sum |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const Row &row : rows) {
        const double bareSum = row.bareCapture + row.bareScale + row.bareEncode;
        std::printf("| %s | %.2f | %.2f | %.2f | %.2f | %lld | %.2f | %.2f | %.2f | %.2f | %.2f |\n",
                    row.screen.c_str(), row.capture, row.jpeg, row.base64, row.total,
                    static_cast<long long>(row.bytes), row.bareCapture, row.bareScale, row.bareEncode, bareSum,
                    row.total / bareSum);
    }

    const std::optional<WaylandRow> wayland = waylandRow(argv[0]);
    if (!wayland) {
        std::fprintf(stderr, "the Wayland row could not be measured\n");
        return 1;
    }
    const double total = wayland->take + wayland->picture;
    std::printf("\nWayland (headless mutter, PipeWire screen cast, %.0f frames/s arriving): from the buffer in hand "
                "to the base64 picture\n\n",
                wayland->framesPerSecond);
    std::printf("| screen | take buffer | jpeg (scale+encode) + base64 | total | bytes | bare scale + encode + base64 "
                "| total / bare |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    std::printf("| %s | %.3f | %.2f | %.2f | %lld | %.2f | %.2f |\n", wayland->screen.c_str(), wayland->take,
                wayland->picture, total, static_cast<long long>(wayland->bytes), wayland->bare, total / wayland->bare);
    return 0;
}
