#include "HostKeyExchange.h"

#include "CancellablePause.h"
#include "HostSession.h"
#include "KivrenAPI.h"
#include "SwitchboardRequests.h"

using namespace SessionProtocol;
namespace Requests = SwitchboardRequests;

namespace {

bool isExchangeMessage(const QJsonObject &message)
{
    const QString type = message.value(QStringLiteral("type")).toString();
    return type == KeyExchange::typeOpen || type == KeyExchange::typeShare;
}

bool isClose(const QJsonObject &message)
{
    return message.value(QStringLiteral("type")).toString() == QLatin1String("close");
}

} // namespace

QString HostKeyExchange::reasonFor(KeyExchange::Failure failure)
{
    return failure == KeyExchange::Failure::wrongConfirmation ? wrongPasswordReason : failedReason;
}

StoppableTask<HostKeyExchange::Outcome> HostKeyExchange::run(Options options, std::stop_token stop)
{
    KivrenAPI &api = *options.api;
    const SessionKeys keys = options.keys;
    const Secrets &secrets = options.secrets;
    KeyExchange exchange =
        KeyExchange::forHost({secrets.password, secrets.hostId, keys.id, options.offered});
    Outcome out;

    const auto deadline = std::chrono::steady_clock::now() + timeLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        const KivrenAnswer answer = co_await Requests::post(api, Requests::Poll{keys, Role::host, 0, std::nullopt}, stop);
        if (HostSession::endsSession(answer))
            co_return out;
        for (const Frame &frame : answer.ok() ? decodeFrames(answer.object) : QList<Frame>()) {
            if (!frame.message)
                continue;
            if (isClose(*frame.message))
                co_return out;
            if (!isExchangeMessage(*frame.message))
                continue;
            const KeyExchange::Step step = exchange.receive(*frame.message);
            if (step.failure) {
                out.endReason = reasonFor(*step.failure);
                co_await Requests::post(api, Requests::Close{keys, out.endReason}, stop);
                co_return out;
            }
            if (step.reply)
                co_await Requests::post(api, Requests::Push{keys, Role::host, KeyExchange::frameOf(*step.reply)}, stop);
            if (step.established) {
                // The outcome does not matter to the session: at worst the guess stays counted.
                co_await Requests::post(api, Requests::Confirm{secrets.hostId, secrets.hostToken, keys.id}, stop);
                out.seal.emplace(step.established->channel);
                out.peerFeatures = step.established->peerFeatures;
                co_return out;
            }
        }
        co_await cancellablePause(options.pause, stop);
    }
    out.endReason = failedReason;
    co_await Requests::post(api, Requests::Close{keys, out.endReason}, stop);
    co_return out;
}
