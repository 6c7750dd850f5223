#include "InputQueue.h"

#include "SwitchboardRequests.h"

using namespace SessionProtocol;
namespace Requests = SwitchboardRequests;

namespace {

qsizetype characterCount(const QString &text)
{
    qsizetype count = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (!(text.at(i).isLowSurrogate() && i > 0 && text.at(i - 1).isHighSurrogate()))
            ++count;
    }
    return count;
}

const RemoteInput *inputOfKind(const ViewerMessage &message, RemoteInput::Kind kind)
{
    const auto *input = std::get_if<Input>(&message);
    return input && input->event.kind == kind ? &input->event : nullptr;
}

} // namespace

InputQueue::InputQueue(Options options)
    : m_options(std::move(options))
    , m_requests(m_options.lifetime)
{
    m_waitTimer.setSingleShot(true);
    m_waitTimer.callOnTimeout([this] { abandon(); });
}

void InputQueue::enqueue(ViewerMessage message)
{
    if (m_cleared || m_closing || m_options.lifetime.stop_requested())
        return;
    if (m_inFlight && coalesce(message))
        return;
    if (m_waiting.size() >= maxQueued)
        return;
    m_waiting.append(std::move(message));
    if (!m_inFlight)
        sendNext();
}

// Only with the message queued last, and only while it waits: what is already on its way is
// never changed, and nothing overtakes a message of another kind.
bool InputQueue::coalesce(const ViewerMessage &message)
{
    if (m_waiting.isEmpty())
        return false;
    ViewerMessage &last = m_waiting.last();
    using Kind = RemoteInput::Kind;
    for (const Kind kind : {Kind::move, Kind::wheel}) {
        const RemoteInput *incoming = inputOfKind(message, kind);
        const RemoteInput *queued = inputOfKind(last, kind);
        if (!incoming || !queued || incoming->button != queued->button || incoming->modifiers != queued->modifiers)
            continue;
        RemoteInput merged = *incoming;
        if (kind == Kind::wheel) {
            // Every pixel counts: the host scrolls by the sum.
            merged.deltaX += queued->deltaX;
            merged.deltaY += queued->deltaY;
        }
        last = Input{merged};
        return true;
    }
    const auto *incomingText = std::get_if<Text>(&message);
    auto *queuedText = std::get_if<Text>(&last);
    if (incomingText && queuedText
        && characterCount(queuedText->text) + characterCount(incomingText->text) <= maxTextCharacters) {
        queuedText->text += incomingText->text;
        return true;
    }
    return false;
}

void InputQueue::sendNext()
{
    if (m_waiting.isEmpty() || m_cleared) {
        if (m_closing)
            startClose();
        return;
    }
    const ViewerMessage message = m_waiting.takeFirst();
    const Envelope frame = encode(message);
    m_pushed = Requests::Push{m_options.keys, Role::viewer, m_options.seal ? m_options.seal->seal(frame) : frame};
    startPush();
}

void InputQueue::startPush()
{
    m_inFlight = true;
    m_cancel = std::stop_source();
    const quint64 ticket = ++m_ticket;
    m_waitTimer.start(m_options.waitLimit);
    m_requests.start([this, ticket, request = m_pushed, cancel = m_cancel](std::stop_token stop) mutable {
        return push(ticket, std::move(request), std::move(cancel), std::move(stop));
    });
}

StoppableTask<> InputQueue::push(quint64 ticket, SwitchboardRequests::Push request, std::stop_source cancel,
                                 std::stop_token stop)
{
    // The queue's end cancels the request as well as an abandonment does.
    const std::stop_callback ended(stop, [cancel]() mutable { cancel.request_stop(); });
    co_await Requests::post(*m_options.api, request, cancel.get_token());
    // The answer and any failure are of no interest, only that the push is over.
    pushEnded(ticket);
}

void InputQueue::pushEnded(quint64 ticket)
{
    if (!m_inFlight || ticket != m_ticket)
        return;
    m_waitTimer.stop();
    m_inFlight = false;
    sendNext();
}

void InputQueue::abandon()
{
    if (!m_inFlight || m_options.lifetime.stop_requested())
        return;
    ++m_abandoned;
    ++m_ticket;
    m_inFlight = false;
    m_cancel.request_stop();
    if (m_options.seal && !m_closing) {
        startPush();
        return;
    }
    if (m_closing) {
        // A switchboard that holds pushes this long would hold the rest too; the close is what
        // matters now.
        m_waiting.clear();
        startClose();
        return;
    }
    sendNext();
}

void InputQueue::clear()
{
    m_cleared = true;
    m_waiting.clear();
    m_waitTimer.stop();
    // The push in flight goes on (a release already on its way must still arrive), but nothing
    // waits for it.
    ++m_ticket;
    m_inFlight = false;
}

void InputQueue::closeAfterDrain()
{
    if (m_closing)
        return;
    m_closing = true;
    if (!m_inFlight)
        sendNext();
}

void InputQueue::startClose()
{
    if (m_closed || m_options.lifetime.stop_requested())
        return;
    m_closed = true;
    m_requests.start([this](std::stop_token stop) { return postClose(std::move(stop)); });
}

StoppableTask<> InputQueue::postClose(std::stop_token stop)
{
    co_await Requests::post(*m_options.api, Requests::Close{m_options.keys, {}}, stop);
}
