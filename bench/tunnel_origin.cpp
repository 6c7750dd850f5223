// The tunnel's per-chunk origin scan (strict UTF-8 check, decode, match with the pattern
// compiled once) against the same scan compiling the pattern anew for every chunk.
// Prints medians over several runs of the same chunks and their ratio.
#include "KivrenTunnel.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QList>
#include <QRegularExpression>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>
#include <vector>

namespace {

constexpr int chunksPerRun = 20000;
constexpr int runs = 15;

QList<QByteArray> sampleChunks()
{
    // What a tunnel client prints: mostly log lines, now and then the origin.
    const QByteArray lines[] = {
        "2026-12-10T04:40:00Z INF Thank you for trying Cloudflare Tunnel. Doing so, without a Cloudflare account, "
        "is a quick way to experiment and try it out.\n",
        "2026-12-10T04:40:01Z INF Requesting new quick Tunnel on trycloudflare.com...\n",
        "2026-12-10T04:40:02Z INF |  https://calm-sea-forty-two.trycloudflare.com                              |\n",
        "2026-12-10T04:40:03Z INF Registered tunnel connection connIndex=0 connection=1a2b3c ip=198.41.200.13 "
        "location=fra08 protocol=quic\n",
    };
    QList<QByteArray> chunks;
    for (int i = 0; i < chunksPerRun; ++i)
        chunks << lines[i % 4];
    return chunks;
}

std::optional<QString> compiledPerChunk(QByteArrayView chunk)
{
    if (chunk.isEmpty() || !chunk.isValidUtf8())
        return std::nullopt;
    const QString text = QString::fromUtf8(chunk);
    const QRegularExpression pattern(
        QStringLiteral("https://[A-Za-z0-9.-]+\\.(?:trycloudflare\\.com|free\\.pinggy\\.link|pinggy\\.link)"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    return match.captured(0);
}

double medianMicrosPerChunk(const QList<QByteArray> &chunks,
                            const std::function<std::optional<QString>(QByteArrayView)> &scan, int &found)
{
    std::vector<double> samples;
    for (int run = 0; run < runs; ++run) {
        found = 0;
        QElapsedTimer timer;
        timer.start();
        for (const QByteArray &chunk : chunks)
            found += scan(chunk).has_value() ? 1 : 0;
        samples.push_back(double(timer.nsecsElapsed()) / 1000.0 / chunks.size());
    }
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QList<QByteArray> chunks = sampleChunks();
    int foundOnce = 0;
    int foundEach = 0;
    const double once = medianMicrosPerChunk(chunks, &KivrenTunnel::originIn, foundOnce);
    const double each = medianMicrosPerChunk(chunks, &compiledPerChunk, foundEach);

    std::printf("%-36s %14s %8s\n", "origin scan per chunk", "median us", "origins");
    std::printf("%-36s %14.3f %8d\n", "KivrenTunnel::originIn", once, foundOnce);
    std::printf("%-36s %14.3f %8d\n", "baseline: pattern compiled per chunk", each, foundEach);
    std::printf("%-36s %14.2f\n", "ratio baseline / originIn", each / once);
    return foundOnce == foundEach ? 0 : 1;
}
