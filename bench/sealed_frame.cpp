// What sealing costs a 200 KB picture: SealedChannel::seal of a JPEG-sized frame into a reused
// buffer, and SealedChannel::open of such frames, as one side of an encrypted session does per
// picture, against the bare libsodium call on the same bytes in the same run:
// crypto_aead_xchacha20poly1305_ietf_encrypt / _decrypt with the same key, a nonce and
// associated data of the same length, into buffers allocated once. Samples alternate between the
// two so that both see the same machine load. Goal: sealed / bare <= 1.3 for both.
//
//   bench_sealed_frame [frames]   default 300 per row

#include "KeySchedule.h"
#include "SealedChannel.h"
#include "SessionProtocol.h"

#include <QElapsedTimer>

#include <sodium.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

namespace {

constexpr qsizetype pictureBytes = 200 * 1024;
constexpr int warmUp = 20;
// The associated data a sealed frame carries: lv_cat of the label, sid, role, kind and header.
constexpr size_t associatedDataBytes = 1 + 21 + 1 + 32 + 1 + 4 + 1 + 11 + 1 + 16;

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

QByteArray randomBytes(qsizetype size, std::mt19937 &random)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &b : bytes)
        b = static_cast<char>(random());
    return bytes;
}

struct Row
{
    const char *name;
    std::vector<double> ms;
};

void print(const Row &row, double baseline)
{
    const double m = median(row.ms);
    std::printf("%-52s %10.3f %10.3f %8.2f\n", row.name, m, percentile(row.ms, 0.9), m / baseline);
}

} // namespace

int main(int argc, char **argv)
{
    const int frames = argc > 1 ? std::max(10, std::atoi(argv[1])) : 300;
    if (sodium_init() < 0)
        return 1;

    std::mt19937 random(26);
    const QByteArray picture = randomBytes(pictureBytes, random);
    const QByteArray isk = randomBytes(64, random);
    const QByteArray sid = randomBytes(32, random);
    const KeySchedule keys = KeySchedule::derive(isk, sid);
    SealedChannel host(SessionProtocol::Role::host, keys, sid);
    SealedChannel viewer(SessionProtocol::Role::viewer, keys, sid);

    // The bare calls: same key and bytes, buffers allocated once.
    const auto *key = reinterpret_cast<const unsigned char *>(keys.hostToViewer.constData());
    const auto *plain = reinterpret_cast<const unsigned char *>(picture.constData());
    const QByteArray ad = randomBytes(associatedDataBytes, random);
    const auto *adBytes = reinterpret_cast<const unsigned char *>(ad.constData());
    unsigned char nonce[crypto_aead_xchacha20poly1305_ietf_NPUBBYTES] = {};
    std::vector<unsigned char> bareSealed(static_cast<size_t>(pictureBytes) + crypto_aead_xchacha20poly1305_ietf_ABYTES);
    std::vector<unsigned char> bareOpened(static_cast<size_t>(pictureBytes));
    const auto bareSeal = [&] {
        unsigned long long length = 0;
        return crypto_aead_xchacha20poly1305_ietf_encrypt(bareSealed.data(), &length, plain, pictureBytes, adBytes,
                                                          ad.size(), nullptr, nonce, key)
            == 0;
    };
    const auto bareOpen = [&] {
        unsigned long long length = 0;
        return crypto_aead_xchacha20poly1305_ietf_decrypt(bareOpened.data(), &length, nullptr, bareSealed.data(),
                                                          bareSealed.size(), adBytes, ad.size(), nonce, key)
            == 0;
    };

    QByteArray sealBuffer;
    const auto channelSeal = [&] {
        sealBuffer = host.seal(SessionProtocol::kindJpeg, picture, std::move(sealBuffer));
        return sealBuffer.size() == pictureBytes + SealedChannel::headerBytes + SealedChannel::tagBytes;
    };
    // Each frame opens once (a second time it is a replay), so the frames to open are sealed first.
    std::vector<QByteArray> toOpen;
    for (int i = 0; i < warmUp + frames; ++i)
        toOpen.push_back(viewer.seal(SessionProtocol::kindJpeg, picture));
    size_t nextToOpen = 0;
    QByteArray openBuffer;
    const auto channelOpen = [&] {
        auto opened = host.open(SealedChannel::kindSealedJpeg, toOpen[nextToOpen++], std::move(openBuffer));
        auto *frame = std::get_if<SealedChannel::Opened>(&opened);
        if (frame == nullptr)
            return false;
        openBuffer = std::move(frame->bytes);
        return true;
    };

    Row bareSealRow{"bare crypto_aead_xchacha20poly1305_ietf_encrypt", {}};
    Row sealRow{"SealedChannel::seal into a reused buffer", {}};
    Row bareOpenRow{"bare crypto_aead_xchacha20poly1305_ietf_decrypt", {}};
    Row openRow{"SealedChannel::open into a reused buffer", {}};
    QElapsedTimer timer;
    const auto time = [&timer](const auto &work, Row &row, bool record) {
        timer.start();
        const bool ok = work();
        if (record)
            row.ms.push_back(double(timer.nsecsElapsed()) / 1e6);
        return ok;
    };
    for (int i = 0; i < warmUp + frames; ++i) {
        const bool record = i >= warmUp;
        bool ok = true;
        if (i % 2 == 0) {
            ok &= time(bareSeal, bareSealRow, record) && time(channelSeal, sealRow, record);
            ok &= time(bareOpen, bareOpenRow, record) && time(channelOpen, openRow, record);
        } else {
            ok &= time(channelSeal, sealRow, record) && time(bareSeal, bareSealRow, record);
            ok &= time(channelOpen, openRow, record) && time(bareOpen, bareOpenRow, record);
        }
        if (!ok) {
            std::fprintf(stderr, "sealing or opening failed at frame %d\n", i);
            return 1;
        }
    }

    std::printf("sealed frame of a %lld-byte picture, libsodium %s, %d samples each after %d warm-up\n",
                static_cast<long long>(pictureBytes), sodium_version_string(), frames, warmUp);
    std::printf("%-52s %10s %10s %8s\n", "per picture", "median ms", "p90 ms", "ratio");
    const double sealBaseline = median(bareSealRow.ms);
    const double openBaseline = median(bareOpenRow.ms);
    print(bareSealRow, sealBaseline);
    print(sealRow, sealBaseline);
    print(bareOpenRow, openBaseline);
    print(openRow, openBaseline);
    const double worst = std::max(median(sealRow.ms) / sealBaseline, median(openRow.ms) / openBaseline);
    std::printf("goal: ratio <= 1.30 -> %s\n", worst <= 1.3 ? "met" : "NOT met");
    return 0;
}
