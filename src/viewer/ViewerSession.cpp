#include "ViewerSession.h"

#include "BackgroundWorker.h"
#include "BookEntry.h"
#include "CancellablePause.h"
#include "KivrenAPI.h"
#include "NamedKey.h"
#include "PictureBound.h"
#include "PlatformWording.h"
#include "SwitchboardRequests.h"
#include "ViewerKeyExchange.h"
#include "ViewerWording.h"

#include <chrono>
#include <optional>
#include <utility>

using namespace SessionProtocol;
namespace Requests = SwitchboardRequests;

namespace {

const QString statusNoCloud = PlatformWording::noCloudAddress();

} // namespace

ViewerSession::ViewerSession(Options options)
    : m_options(std::move(options))
    , m_pictureBound(PictureBound::beforeHello())
{
}

StoppableTask<> ViewerSession::run(std::stop_token stop)
{
    // Whoever stopped this session (a disconnect, a newer connect, the client going) owns the
    // published state from then on.
    m_stop = stop;
    Listener &out = *m_options.listener;
    KivrenAPI &api = *m_options.api;
    const auto fail = [this, &out](const KivrenError &error) {
        // Input waiting for a session that has failed goes nowhere.
        if (m_input)
            m_input->clear();
        const QString words = ViewerWording::failure(error, m_input ? ViewerWording::Step::live
                                                                    : ViewerWording::Step::reaching);
        out.setPhase(SessionPhase::failed);
        out.setError(words);
        out.setStatus(words);
    };

    // Like any background task, this one starts on a later pass of the event loop: connect
    // returns with the phase still connecting, and a session replaced before then never starts.
    co_await cancellablePause(std::chrono::milliseconds(0), stop);

    const QString cloudURL = out.cloudURL();
    if (cloudURL.isEmpty()) {
        out.setStatus(statusNoCloud);
        out.setPhase(SessionPhase::failed);
        co_return;
    }
    api.setBase(cloudURL);

    out.setPhase(SessionPhase::authenticating);
    out.setStatus(ViewerWording::checkingPassword());

    const std::optional<KivrenError> refused = co_await open(stop);
    if (refused) {
        fail(*refused);
        co_return;
    }
    // The listener may have ended the session from its book signal: it goes no further.
    if (stop.stop_requested())
        co_return;

    startSession();
    out.setPhase(SessionPhase::live);
    const QString connectedStatus = ViewerWording::connected(m_hostName);
    out.setStatus(m_awaitingAccept ? ViewerWording::waitingForAccept() : connectedStatus);

    // Polls are strictly sequential. A switchboard that announced holds keeps each poll until
    // there is something for it, and the next leaves at once; one that did not is polled after
    // a pause. A poll that fails in a way that may pass is tried again, the picture greyed
    // meanwhile, and once the switchboard no longer knows the session (it was restarted) the ID
    // is looked up and connected to again; any other failure, or failures for longer than
    // PollPacing::retryFor, end the session.
    PollPacing::Health health = PollPacing::Health::live;
    const auto setHealth = [&out, &health, &connectedStatus, &stop](PollPacing::Health now) {
        if (now == health)
            return;
        const bool wasLive = health == PollPacing::Health::live;
        health = now;
        if (wasLive != (now == PollPacing::Health::live))
            out.setPictureStale(wasLive);
        // An observer of the picture may have ended the session.
        if (stop.stop_requested())
            return;
        switch (now) {
        case PollPacing::Health::live:
            out.setStatus(connectedStatus);
            break;
        case PollPacing::Health::notAnswering:
            out.setStatus(notAnsweringStatus);
            break;
        case PollPacing::Health::reconnecting:
            out.setStatus(reconnectingStatus);
            break;
        }
    };
    std::optional<std::chrono::steady_clock::time_point> failingSince;
    bool reopen = false;
    for (;;) {
        if (reopen) {
            const std::optional<KivrenError> reopenRefused = co_await open(stop);
            if (!reopenRefused) {
                reopen = false;
                startSession();
                continue;
            }
            const auto now = std::chrono::steady_clock::now();
            if (PollPacing::afterFailure(*reopenRefused, true) == PollPacing::AfterFailure::giveUp
                || now - *failingSince >= PollPacing::retryFor) {
                fail(*reopenRefused);
                co_return;
            }
            co_await cancellablePause(PollPacing::retryPause, stop);
            continue;
        }
        const auto started = std::chrono::steady_clock::now();
        const qint64 cursor = m_since;
        // After a failure the poll is answered at once, so that a recovery shows at once.
        const std::optional<qint64> wait = failingSince && m_waitMs ? std::optional<qint64>(0) : m_waitMs;
        const KivrenAnswer answer =
            co_await Requests::post(api, Requests::Poll{m_options.keys, Role::viewer, m_since, wait}, stop);
        if (!answer.ok()) {
            const auto now = std::chrono::steady_clock::now();
            const PollPacing::AfterFailure next = PollPacing::afterFailure(*answer.error, failingSince.has_value());
            if (!failingSince)
                failingSince = now;
            if (next == PollPacing::AfterFailure::giveUp || now - *failingSince >= PollPacing::retryFor) {
                fail(*answer.error);
                co_return;
            }
            if (next == PollPacing::AfterFailure::reopen) {
                reopen = true;
                setHealth(PollPacing::Health::reconnecting);
                continue;
            }
            setHealth(PollPacing::Health::notAnswering);
            co_await cancellablePause(PollPacing::retryPause, stop);
            continue;
        }
        failingSince.reset();
        setHealth(PollPacing::peerQuiet(Requests::peerQuietMs(answer.object)) ? PollPacing::Health::notAnswering
                                                                             : PollPacing::Health::live);
        co_await takePollAnswer(answer.object, stop);
        if (m_sealFailed) {
            // Nothing of the frame was shown; the host is told why the session ends.
            if (m_input)
                m_input->clear();
            co_await Requests::post(api, Requests::Close{m_options.keys, SessionSeal::failedCheckReason}, stop);
            fail(KivrenError::kivren(0, SessionSeal::failedCheckReason));
            co_return;
        }
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
        const std::chrono::milliseconds pause = PollPacing::pauseAfter(m_waitMs.has_value(), m_since != cursor, took);
        if (pause.count() > 0)
            co_await cancellablePause(pause, stop);
    }
}

StoppableTask<std::optional<KivrenError>> ViewerSession::open(std::stop_token stop)
{
    Listener &out = *m_options.listener;
    KivrenAPI &api = *m_options.api;
    const KivrenAnswer lookup = co_await Requests::post(api, Requests::Lookup{m_options.id}, stop);
    if (!lookup.ok())
        co_return *lookup.error;
    const Requests::LookupAnswer found = Requests::LookupAnswer::fromJson(lookup.object);
    if (!found.found)
        co_return KivrenError::kivren(404, QStringLiteral("Unknown ID"));
    if (!found.online)
        co_return KivrenError::kivren(409, QStringLiteral("That PC is offline"));
    if (!found.encrypted && m_options.requireEncrypted)
        co_return KivrenError::kivren(0, plainRefusedReason);
    const bool encrypted = found.encrypted;

    const QString hostName = found.name.value_or(QStringLiteral("Remote"));
    out.setHostName(hostName);
    m_hostName = hostName;

    // A listener that ended the session from its host-name signal has stopped it: the connect
    // is then not sent, and the task ends at this co_await.
    const KivrenAnswer connected = co_await Requests::post(
        api,
        Requests::Connect{m_options.id, m_options.password, m_options.clientName, platformName, m_options.deviceToken, encrypted},
        stop);
    if (!connected.ok())
        co_return *connected.error;

    const Requests::ConnectAnswer opened = Requests::ConnectAnswer::fromJson(connected.object);
    m_options.keys = opened.keys;
    m_waitMs = PollPacing::waitFor(opened.maxWaitMs);
    m_awaitingAccept = !opened.unattended;
    // A transport the answer does not name keeps the one of the session before.
    if (opened.transport)
        out.setTransport(*opened.transport);

    m_seal.reset();
    m_sinceAfterOpen = 0;
    if (encrypted) {
        const KeyExchange::Party party{m_options.password, m_options.id, opened.keys.id, m_options.offered};
        ViewerKeyExchange::Outcome exchanged =
            co_await ViewerKeyExchange::run({&api, opened.keys, party, m_waitMs, pollPause}, stop);
        if (exchanged.error)
            co_return *exchanged.error;
        m_seal = std::make_shared<SessionSeal>(std::move(*exchanged.seal));
        m_sinceAfterOpen = exchanged.since;
    }
    out.setEncrypted(encrypted);

    // A token of another form is not kept: it would only ever be sent back.
    out.remember(m_options.id, hostName, BookEntry::isDeviceToken(opened.deviceToken) ? opened.deviceToken : QString());
    co_return std::nullopt;
}

void ViewerSession::startSession()
{
    // A session opened again shows nothing of the one before, and its host greets it anew.
    if (!m_picture.isNull())
        m_options.listener->setFrame(QImage(), QRegion());
    m_picture = QImage();
    m_pictureBound = PictureBound::beforeHello();
    m_peerFeatures = {};
    m_heldButtons = {};
    if (!m_pointer.isNull())
        m_options.listener->setRemotePointer({});
    m_pointer = {};
    m_since = m_sinceAfterOpen;
    m_sealFailed = false;
    m_input = std::make_unique<InputQueue>(
        InputQueue::Options{m_options.api, m_options.keys, m_options.pushLifetime, m_options.pushWaitLimit, m_seal});
}

StoppableTask<> ViewerSession::takePollAnswer(QJsonObject answer, std::stop_token stop)
{
    if (!m_options.worker) {
        applyPollAnswer(answer, stop);
        co_return;
    }
    PollAnswerDecoding::Start start = beginAnswer(answer);
    // Opened here, in order, since the channel counts every frame; decoded on the worker.
    std::optional<QList<HostMessage>> opened;
    if (m_seal) {
        opened = openAnswer(answer);
        if (m_sealFailed)
            co_return;
    }
    // The job owns its copies: the session may be gone before it ends.
    std::optional<PollAnswerDecoding::Outcome> outcome = co_await m_options.worker->run(
        [answer = std::move(answer), opened = std::move(opened), start = std::move(start)](std::stop_token jobStop) {
            return opened ? PollAnswerDecoding::decode(*opened, start, jobStop)
                          : PollAnswerDecoding::decode(answer, start, jobStop);
        },
        stop);
    // None: the worker is going (the client with it).
    if (outcome)
        finishAnswer(std::move(*outcome), stop);
}

void ViewerSession::applyPollAnswer(const QJsonObject &answer, const std::stop_token &stop)
{
    PollAnswerDecoding::Start start = beginAnswer(answer);
    if (!m_seal) {
        finishAnswer(PollAnswerDecoding::decode(answer, std::move(start), stop), stop);
        return;
    }
    const QList<HostMessage> opened = openAnswer(answer);
    if (!m_sealFailed)
        finishAnswer(PollAnswerDecoding::decode(opened, std::move(start), stop), stop);
}

QList<HostMessage> ViewerSession::openAnswer(const QJsonObject &answer)
{
    const SessionSeal::Opened opened = m_seal->open(decodeFrames(answer));
    if (opened.failed) {
        m_sealFailed = true;
        return {};
    }
    QList<HostMessage> messages;
    for (const Frame &frame : opened.frames) {
        if (std::optional<HostMessage> message = decodeHostMessage(frame))
            messages.append(std::move(*message));
    }
    return messages;
}

PollAnswerDecoding::Start ViewerSession::beginAnswer(const QJsonObject &answer)
{
    if (const auto cursor = Requests::pollCursor(answer))
        m_since = *cursor;
    return {m_picture, m_pictureBound};
}

void ViewerSession::finishAnswer(PollAnswerDecoding::Outcome outcome, const std::stop_token &stop)
{
    if (stop.stop_requested())
        return;
    m_picture = std::move(outcome.picture);
    m_pictureBound = outcome.bound;
    Listener &out = *m_options.listener;
    for (const PollAnswerDecoding::Step &step : std::as_const(outcome.steps)) {
        if (stop.stop_requested())
            return;
        if (const auto *shown = std::get_if<PollAnswerDecoding::Shown>(&step)) {
            out.setFrame(shown->picture, shown->changed);
        } else if (const auto *moved = std::get_if<PollAnswerDecoding::PointerMoved>(&step)) {
            if (!moved->image.isNull()) {
                m_pointer.image = moved->image;
                m_pointer.hotspot = moved->hotspot;
            }
            m_pointer.position = moved->position;
            // A position before any shape has nothing to draw.
            if (!m_pointer.isNull())
                out.setRemotePointer(m_pointer);
        } else if (const auto *hello = std::get_if<Hello>(&step)) {
            out.setRemoteSize(QSizeF(hello->width, hello->height));
            m_peerFeatures = hello->features;
            // Greeted: the person at the host let this viewer in.
            if (std::exchange(m_awaitingAccept, false))
                out.setStatus(ViewerWording::connected(m_hostName));
            if (!m_options.offered.isEmpty() && !stop.stop_requested() && m_input)
                m_input->enqueue(Caps{m_options.offered});
        }
    }
}

void ViewerSession::send(ViewerMessage message)
{
    if (!m_input || m_stop.stop_requested())
        return;
    const bool modifiers = m_peerFeatures.contains(featureModifiers);
    if (auto *input = std::get_if<Input>(&message)) {
        if (!m_heldButtons.take(input->event) && !m_peerFeatures.contains(featureHover))
            return;
        // The pointer event itself is still wanted: a Ctrl+click becomes a plain click.
        if (!modifiers)
            input->event.modifiers = {};
    } else if (const auto *key = std::get_if<Key>(&message)) {
        if (!key->modifiers.isEmpty() && !modifiers)
            return;
        const std::optional<NamedKey> special = namedKeyFromCodeName(key->codeName);
        if (special && !isBasicNamedKey(*special) && !m_peerFeatures.contains(featureKeys))
            return;
    } else if (const auto *text = std::get_if<Text>(&message)) {
        for (const QString &piece : splitText(text->text))
            m_input->enqueue(Text{piece});
        return;
    }
    m_input->enqueue(std::move(message));
}
