// The viewer's cost per received 1280x800 picture: what the poll step does for one "jpeg"
// frame (strict base64 decode through SessionProtocol::decodeHostMessages, then the TurboJPEG decode
// into a new QImage through JpegDecoder), against a bare TurboJPEG decode of the same JPEG
// bytes into a buffer allocated once, as the baseline. Samples alternate between them so that
// all see the same machine load. Goal: viewer / bare <= 1.3. A third row takes the whole answer
// as the session does: decoded (PollAnswerDecoding) on the viewer's BackgroundWorker thread while
// a coroutine on the event loop awaits it, the hop there and back included.
//
//   bench_viewer_picture [pictures]   default 400 per row

#include "BackgroundWorker.h"
#include "Base64.h"
#include "JpegDecoder.h"
#include "PictureBound.h"
#include "PollAnswerDecoding.h"
#include "SessionProtocol.h"

#include <QCoreApplication>
#include <QCoroTask>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>

#include <turbojpeg.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int width = 1280;
constexpr int height = 800;
constexpr int quality = 60;
constexpr int warmUp = 20;

// Something like a desktop: a gradient wallpaper, flat windows and fine detail (text-like
// stripes), so the JPEG is neither trivially flat nor noise.
QByteArray desktopJpeg()
{
    std::vector<unsigned char> rgb(size_t(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            unsigned char *p = &rgb[(size_t(y) * width + x) * 3];
            const bool window = x > 160 && x < 900 && y > 90 && y < 620;
            const bool text = window && (y % 18) < 11 && ((x * 7 + y * 3) % 11) < 6 && x < 820;
            if (text) {
                p[0] = p[1] = p[2] = 30;
            } else if (window) {
                p[0] = p[1] = p[2] = 246;
            } else {
                p[0] = static_cast<unsigned char>(40 + x * 120 / width);
                p[1] = static_cast<unsigned char>(70 + y * 100 / height);
                p[2] = static_cast<unsigned char>(160 + (x + y) % 64);
            }
        }
    }
    tjhandle handle = tjInitCompress();
    unsigned char *out = nullptr;
    unsigned long size = 0;
    tjCompress2(handle, rgb.data(), width, 0, height, TJPF_RGB, &out, &size, TJSAMP_420, quality, 0);
    QByteArray jpeg(reinterpret_cast<const char *>(out), static_cast<qsizetype>(size));
    tjFree(out);
    tjDestroy(handle);
    return jpeg;
}

double median(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

double percentile(std::vector<double> samples, double q)
{
    std::sort(samples.begin(), samples.end());
    return samples[std::min(samples.size() - 1, static_cast<size_t>(q * static_cast<double>(samples.size())))];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int pictures = argc > 1 ? std::max(10, std::atoi(argv[1])) : 400;

    const QByteArray jpeg = desktopJpeg();
    // The answer as the request transport hands it over: already parsed JSON.
    const QJsonObject answer{
        {QStringLiteral("frames"),
         QJsonArray{QJsonObject{{QStringLiteral("kind"), SessionProtocol::kindJpeg},
                                {QStringLiteral("payload"), QString::fromLatin1(Base64::encode(jpeg))}}}},
        {QStringLiteral("since"), 1}};

    // Baseline: header + decode into one reused buffer, the least any viewer can do.
    tjhandle bare = tjInitDecompress();
    std::vector<unsigned char> buffer(size_t(width) * height * 4);
    const auto bareDecode = [&] {
        int w = 0, h = 0, subsampling = 0, colorspace = 0;
        const auto *data = reinterpret_cast<const unsigned char *>(jpeg.constData());
        const auto size = static_cast<unsigned long>(jpeg.size());
        tjDecompressHeader3(bare, data, size, &w, &h, &subsampling, &colorspace);
        return tjDecompress2(bare, data, size, buffer.data(), w, w * 4, h, TJPF_BGRX, 0) == 0;
    };

    JpegDecoder decoder;
    QImage shown; // keeps the last picture alive, as the viewer's frame property does
    const auto viewerDecode = [&] {
        for (const SessionProtocol::HostMessage &message : SessionProtocol::decodeHostMessages(answer)) {
            if (const auto *jpeg = std::get_if<SessionProtocol::Picture>(&message)) {
                QImage picture = decoder.decode(jpeg->jpeg);
                if (picture.isNull())
                    return false;
                shown = std::move(picture);
            }
        }
        return true;
    };

    BackgroundWorker worker;
    const auto onWorker = [&]() -> QCoro::Task<bool> {
        std::optional<PollAnswerDecoding::Outcome> outcome = co_await worker.run(
            [answer, start = PollAnswerDecoding::Start{shown, PictureBound::beforeHello()}](std::stop_token stop) {
                return PollAnswerDecoding::decode(answer, start, stop);
            },
            std::stop_token());
        if (!outcome || outcome->steps.isEmpty())
            co_return false;
        shown = outcome->picture;
        co_return true;
    };
    const auto workerDecode = [&] { return QCoro::waitFor(onWorker()); };

    for (int i = 0; i < warmUp; ++i) {
        if (!bareDecode() || !viewerDecode() || !workerDecode()) {
            std::fprintf(stderr, "decode failed\n");
            return 1;
        }
    }

    std::vector<double> bareMs;
    std::vector<double> viewerMs;
    std::vector<double> workerMs;
    QElapsedTimer timer;
    for (int i = 0; i < pictures; ++i) {
        timer.start();
        bareDecode();
        bareMs.push_back(double(timer.nsecsElapsed()) / 1e6);
        timer.start();
        viewerDecode();
        viewerMs.push_back(double(timer.nsecsElapsed()) / 1e6);
        timer.start();
        workerDecode();
        workerMs.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    tjDestroy(bare);

    const double bareMedian = median(bareMs);
    const double viewerMedian = median(viewerMs);
    std::printf("picture %dx%d JPEG quality %d, %lld bytes (%lld base64), %d samples each\n", width, height, quality,
                static_cast<long long>(jpeg.size()), static_cast<long long>(Base64::encode(jpeg).size()), pictures);
    std::printf("%-44s %10s %10s %8s\n", "per picture", "median ms", "p90 ms", "ratio");
    std::printf("%-44s %10.3f %10.3f %8.2f\n", "bare TurboJPEG decode (baseline)", bareMedian, percentile(bareMs, 0.9), 1.0);
    std::printf("%-44s %10.3f %10.3f %8.2f\n", "viewer: base64 + decode into new QImage", viewerMedian,
                percentile(viewerMs, 0.9), viewerMedian / bareMedian);
    const double workerMedian = median(workerMs);
    std::printf("%-44s %10.3f %10.3f %8.2f\n", "viewer: the answer on the worker and back", workerMedian,
                percentile(workerMs, 0.9), workerMedian / bareMedian);
    std::printf("goal: ratio <= 1.30 -> %s\n", viewerMedian / bareMedian <= 1.3 ? "met" : "NOT met");
    return 0;
}
