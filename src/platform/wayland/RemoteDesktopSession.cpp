#include "RemoteDesktopSession.h"

RemoteDesktopSession::RemoteDesktopSession(QObject *parent)
    : QObject(parent)
{}

RemoteDesktopSession::State RemoteDesktopSession::state() const
{
    return m_state;
}

const std::optional<RemoteDesktopSession::Stream> &RemoteDesktopSession::stream() const
{
    return m_stream;
}

const QString &RemoteDesktopSession::failure() const
{
    return m_failure;
}

void RemoteDesktopSession::fail(const QString &failure)
{
    m_failure = failure;
    setState(State::Failed);
}

void RemoteDesktopSession::setState(State state, std::optional<Stream> stream)
{
    const bool streamChanged = stream.has_value() != m_stream.has_value()
        || (stream && (stream->nodeId != m_stream->nodeId || stream->area != m_stream->area));
    m_stream = state == State::Ready ? std::move(stream) : std::nullopt;
    if (state != State::Failed)
        m_failure.clear();
    if (m_state == state && !streamChanged)
        return;
    m_state = state;
    emit stateChanged(state);
}
