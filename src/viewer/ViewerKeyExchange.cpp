#include "ViewerKeyExchange.h"

#include "CancellablePause.h"
#include "KivrenAPI.h"
#include "SwitchboardRequests.h"

using namespace SessionProtocol;
namespace Requests = SwitchboardRequests;

namespace {

bool isExchangeMessage(const QJsonObject &message)
{
    const QString type = message.value(QStringLiteral("type")).toString();
    return type == KeyExchange::typeShare || type == KeyExchange::typeConfirm;
}

} // namespace

StoppableTask<ViewerKeyExchange::Outcome> ViewerKeyExchange::giveUp(KivrenAPI &api, SessionKeys keys, std::stop_token stop)
{
    // Whatever answered did not prove it knows the password: the session is ended, and the viewer
    // sends nothing more.
    co_await Requests::post(api, Requests::Close{keys, failedReason}, stop);
    Outcome failed;
    failed.error = KivrenError::kivren(0, failedReason);
    co_return failed;
}

StoppableTask<ViewerKeyExchange::Outcome> ViewerKeyExchange::run(Options options, std::stop_token stop)
{
    KivrenAPI &api = *options.api;
    const SessionKeys keys = options.keys;
    KeyExchange exchange = KeyExchange::forViewer(options.party);
    Outcome out;
    const KivrenAnswer opened = co_await Requests::post(api, Requests::Push{keys, Role::viewer, KeyExchange::frameOf(exchange.openMessage())}, stop);
    if (!opened.ok()) {
        out.error = *opened.error;
        co_return out;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        const KivrenAnswer answer = co_await Requests::post(api, Requests::Poll{keys, Role::viewer, out.since, options.waitMs}, stop);
        if (!answer.ok()) {
            out.error = *answer.error;
            co_return out;
        }
        const qint64 before = out.since;
        if (const auto cursor = Requests::pollCursor(answer.object))
            out.since = *cursor;
        for (const Frame &frame : decodeFrames(answer.object)) {
            if (!frame.message || !isExchangeMessage(*frame.message))
                continue;
            const KeyExchange::Step step = exchange.receive(*frame.message);
            if (step.failure)
                co_return co_await giveUp(api, keys, stop);
            if (step.reply) {
                const KivrenAnswer pushed = co_await Requests::post(api, Requests::Push{keys, Role::viewer, KeyExchange::frameOf(*step.reply)}, stop);
                if (!pushed.ok()) {
                    out.error = *pushed.error;
                    co_return out;
                }
            }
            if (step.established) {
                // The host's sealed hello may have come in the same answer: the session's first
                // poll takes this answer again, and its plain exchange messages are passed over.
                out.since = before;
                out.seal.emplace(step.established->channel);
                out.peerFeatures = step.established->peerFeatures;
                co_return out;
            }
        }
        if (!options.waitMs)
            co_await cancellablePause(options.pause, stop);
    }
    co_return co_await giveUp(api, keys, stop);
}
