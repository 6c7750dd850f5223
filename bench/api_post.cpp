// Round trip of sequential picture pushes (150 KB picture, 200 KB of base64) through KivrenAPI to
// a bare loopback node server that reads the body and answers {}, the body built per push as the
// host builds it, against the same loop run by the curl command-line tool (one invocation,
// keep-alive, per-request time from --write-out) as the baseline. Then building one picture
// push body from a fresh base64 payload against a bare memcpy of the same bytes, and the strict
// base64 decoder and encoder against QByteArray on the picture.
//
//   bench_api_post [requests]        default 2000 requests per client

#include "Base64.h"
#include "KivrenAPI.h"
#include "SessionProtocol.h"
#include "SwitchboardRequests.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <QCoroTask>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr int pictureBytes = 150 * 1024;
constexpr int warmUpRequests = 50;

const char *bareServer = R"JS(
const http = require('node:http');
const server = http.createServer((req, res) => {
  req.on('data', () => {});
  req.on('end', () => {
    res.writeHead(200, { 'Content-Type': 'application/json', 'Content-Length': '2' });
    res.end('{}');
  });
});
server.keepAliveTimeout = 60000;
server.listen(0, '127.0.0.1', () => console.log(server.address().port));
)JS";

struct Stats
{
    double median = 0;
    double p99 = 0;
};

Stats stats(std::vector<double> samples)
{
    if (samples.empty())
        return {};
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) {
        return samples[std::min(samples.size() - 1, static_cast<size_t>(q * static_cast<double>(samples.size())))];
    };
    return {at(0.5), at(0.99)};
}

QByteArray randomBytes(int size, quint32 seed = 42)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator random(seed);
    for (char &b : bytes)
        b = static_cast<char>(random.bounded(256));
    return bytes;
}

const SessionProtocol::SessionKeys benchKeys{QStringLiteral("s"), QStringLiteral("t")};

// As the host pushes a picture: the body is built from the base64 payload for every request.
QCoro::Task<std::vector<double>> postLoop(KivrenAPI &api, QByteArray base64, int count)
{
    const SessionProtocol::Envelope frame{SessionProtocol::kindJpeg, base64};
    std::vector<double> ms;
    QElapsedTimer timer;
    for (int i = 0; i < warmUpRequests + count; ++i) {
        timer.start();
        const KivrenAnswer answer = co_await SwitchboardRequests::post(
            api, SwitchboardRequests::Push{benchKeys, SessionProtocol::Role::host, frame}, {}, KivrenAPI::bodyBuffer());
        const double elapsed = static_cast<double>(timer.nsecsElapsed()) / 1e6;
        if (!answer.ok()) {
            std::fprintf(stderr, "request failed: %s\n", qPrintable(answer.error->description));
            co_return {};
        }
        if (i >= warmUpRequests)
            ms.push_back(elapsed);
    }
    co_return ms;
}

// One curl process posting the same body `count` times over one kept-alive connection.
std::vector<double> curlLoop(const QString &url, const QByteArray &body, int count)
{
    QTemporaryDir dir;
    const QString bodyPath = dir.filePath(QStringLiteral("body.json"));
    QFile bodyFile(bodyPath);
    if (!bodyFile.open(QIODevice::WriteOnly) || bodyFile.write(body) != body.size())
        return {};
    bodyFile.close();

    QByteArray config;
    for (int i = 0; i < warmUpRequests + count; ++i) {
        if (i > 0)
            config += "next\n";
        config += "url = \"" + url.toUtf8() + "\"\n";
        config += "data-binary = \"@" + bodyPath.toUtf8() + "\"\n";
        config += "header = \"Content-Type: application/json\"\n";
        config += "header = \"Expect:\"\n";
        config += "output = \"/dev/null\"\n";
        config += "write-out = \"%{time_total}\\n\"\n";
    }
    QFile configFile(dir.filePath(QStringLiteral("curl.conf")));
    if (!configFile.open(QIODevice::WriteOnly) || configFile.write(config) != config.size())
        return {};
    configFile.close();

    QProcess curl;
    curl.start(QStringLiteral("curl"), {QStringLiteral("--silent"), QStringLiteral("--config"), configFile.fileName()});
    if (!curl.waitForFinished(600000) || curl.exitCode() != 0) {
        std::fprintf(stderr, "curl failed: %s\n", curl.readAllStandardError().constData());
        return {};
    }
    std::vector<double> ms;
    const QList<QByteArray> lines = curl.readAllStandardOutput().split('\n');
    for (qsizetype i = warmUpRequests; i < lines.size(); ++i) {
        if (!lines[i].trimmed().isEmpty())
            ms.push_back(lines[i].toDouble() * 1000.0);
    }
    return ms;
}

template<typename F>
double medianMs(int rounds, F &&work)
{
    std::vector<double> ms;
    QElapsedTimer timer;
    for (int i = 0; i < rounds; ++i) {
        timer.start();
        work();
        ms.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    }
    return stats(ms).median;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 2000;

    QProcess server;
    server.start(QStringLiteral("node"), {QStringLiteral("-e"), QString::fromUtf8(bareServer)});
    if (!server.waitForReadyRead(10000)) {
        std::fprintf(stderr, "the bare node server did not start\n");
        return 1;
    }
    const int port = server.readLine().trimmed().toInt();
    const QString origin = QStringLiteral("http://127.0.0.1:%1").arg(port);

    // A picture push as the host sends it: the payload is base64 of 150 KB of JPEG-like bytes.
    const QByteArray picture = randomBytes(pictureBytes);
    const QByteArray base64 = Base64::encode(picture);
    const QByteArray bodyBytes =
        SwitchboardRequests::toBytes({benchKeys, SessionProtocol::Role::host, {SessionProtocol::kindJpeg, base64}});

    KivrenAPI api(origin);
    const Stats ours = stats(QCoro::waitFor(postLoop(api, base64, count)));
    const Stats cli = stats(curlLoop(origin + QStringLiteral("/v1/push"), bodyBytes, count));

    std::printf("Sequential push of a %d KB picture (%.0f KB JSON body) to a bare loopback node server, "
                "%d requests each (after %d warm-up)\n",
                pictureBytes / 1024, static_cast<double>(bodyBytes.size()) / 1024.0, count, warmUpRequests);
    std::printf("%-32s %12s %12s\n", "client", "median ms", "p99 ms");
    std::printf("%-32s %12.3f %12.3f\n", "KivrenAPI, body built per push", ours.median, ours.p99);
    std::printf("%-32s %12.3f %12.3f\n", "curl CLI, keep-alive (baseline)", cli.median, cli.p99);
    if (cli.median > 0)
        std::printf("%-32s %12.2f %12.2f\n", "ratio KivrenAPI / curl", ours.median / cli.median, ours.p99 / cli.p99);

    // One push body per frame, from a payload just encoded (the base64 step itself is not
    // timed), against copying the same number of freshly written bytes. Both write into a
    // buffer kept from the frame before, as the host's body buffer is.
    const int frames = 400;
    std::vector<double> bodyMs;
    std::vector<double> copyMs;
    QByteArray buffer;
    QByteArray copy(base64.size(), Qt::Uninitialized);
    QElapsedTimer timer;
    for (int i = 0; i < warmUpRequests + frames; ++i) {
        const QByteArray forBody = Base64::encode(randomBytes(pictureBytes, 1000 + 2 * i));
        timer.start();
        QByteArray body = SwitchboardRequests::toBytes({benchKeys, SessionProtocol::Role::host, {SessionProtocol::kindJpeg, forBody}},
                                                       std::move(buffer));
        const double bodyElapsed = static_cast<double>(timer.nsecsElapsed()) / 1e6;
        buffer = std::move(body);

        const QByteArray forCopy = Base64::encode(randomBytes(pictureBytes, 1001 + 2 * i));
        timer.start();
        std::memcpy(copy.data(), forCopy.constData(), static_cast<size_t>(forCopy.size()));
        const double copyElapsed = static_cast<double>(timer.nsecsElapsed()) / 1e6;
        if (i >= warmUpRequests) {
            bodyMs.push_back(bodyElapsed);
            copyMs.push_back(copyElapsed);
        }
    }
    const Stats body = stats(bodyMs);
    const Stats bare = stats(copyMs);
    std::printf("\nOne picture push body from a fresh %.0f KB base64 payload, %d frames\n",
                static_cast<double>(base64.size()) / 1024.0, frames);
    std::printf("%-32s %12s %12s\n", "operation", "median ms", "p99 ms");
    std::printf("%-32s %12.4f %12.4f\n", "push body (toBytes)", body.median, body.p99);
    std::printf("%-32s %12.4f %12.4f\n", "memcpy of the payload (baseline)", bare.median, bare.p99);
    std::printf("%-32s %12.2f %12.2f\n", "ratio body / memcpy", body.median / bare.median, body.p99 / bare.p99);
    std::printf("goal: median <= 0.05 ms -> %s\n", body.median <= 0.05 ? "met" : "NOT met");

    const int rounds = 300;
    const double strictDecode = medianMs(rounds, [&] { (void)Base64::decodeStrict(base64); });
    const double qtDecode = medianMs(rounds, [&] { (void)QByteArray::fromBase64(base64); });
    const double strictEncode = medianMs(rounds, [&] { (void)Base64::encode(picture); });
    const double qtEncode = medianMs(rounds, [&] { (void)picture.toBase64(); });
    std::printf("\nBase64 of a %d KB picture, median of %d rounds\n", pictureBytes / 1024, rounds);
    std::printf("%-32s %12s %12s %12s\n", "operation", "ours ms", "QByteArray ms", "ratio");
    std::printf("%-32s %12.3f %12.3f %12.2f\n", "decode (strict)", strictDecode, qtDecode, strictDecode / qtDecode);
    std::printf("%-32s %12.3f %12.3f %12.2f\n", "encode", strictEncode, qtEncode, strictEncode / qtEncode);

    server.kill();
    server.waitForFinished();
    return 0;
}
