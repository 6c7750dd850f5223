#include "SessionSeal.h"

#include "Base64.h"

#include <QJsonDocument>

#include <variant>

using namespace SessionProtocol;

namespace {

bool isSwitchboardClose(const Frame &frame)
{
    return frame.kind == kindJson && frame.message && frame.message->size() == 1
        && frame.message->value(QStringLiteral("type")).toString() == QLatin1String("close");
}

} // namespace

SessionSeal::SessionSeal(SealedChannel channel)
    : m_channel(std::move(channel))
{
}

Envelope SessionSeal::seal(const Envelope &plain)
{
    const QString kind = SealedChannel::sealedKind(plain.kind);
    const std::optional<QByteArray> bytes = Base64::decodeStrict(QByteArrayView(plain.base64));
    if (kind.isEmpty() || !bytes)
        return {};
    return {kind, Base64::encode(m_channel.seal(plain.kind, *bytes))};
}

SessionSeal::Opened SessionSeal::open(const QList<Frame> &frames)
{
    Opened out;
    for (const Frame &frame : frames) {
        if (SealedChannel::innerKind(frame.kind).isEmpty()) {
            if (isSwitchboardClose(frame))
                out.frames.append(frame);
            // Anything else plain is no part of the session: whoever wrote it does not hold its keys.
            continue;
        }
        auto opened = m_channel.open(frame.kind, frame.bytes);
        if (const auto *refusal = std::get_if<SealedChannel::Refusal>(&opened)) {
            if (*refusal == SealedChannel::Refusal::replayed) {
                ++out.replays;
                continue;
            }
            out.failed = true;
            return out;
        }
        auto &plain = std::get<SealedChannel::Opened>(opened);
        Frame taken{plain.kind, std::move(plain.bytes), std::nullopt};
        if (taken.kind == kindJson) {
            const QJsonDocument document = QJsonDocument::fromJson(taken.bytes);
            if (document.isObject())
                taken.message = document.object();
        }
        out.frames.append(std::move(taken));
    }
    return out;
}
