#include "WaylandDesktopBackend.h"

#include "MutterRemoteDesktopSession.h"
#include "PipeWireCapture.h"
#include "PortalRemoteDesktopSession.h"
#include "WaylandInput.h"

#include <QTimer>
#include <QtGlobal>

#include <chrono>

#include <fcntl.h>

namespace {

// mutter's session is set up again this long after it broke off (or could not be set up).
constexpr std::chrono::milliseconds retryPause{5000};

} // namespace

bool WaylandDesktopBackend::isWaylandSession()
{
    return !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        || qEnvironmentVariable("XDG_SESSION_TYPE") == QStringLiteral("wayland");
}

WaylandDesktopBackend::WaylandDesktopBackend()
    : WaylandDesktopBackend(Options{})
{}

WaylandDesktopBackend::WaylandDesktopBackend(Options options)
    : m_capture(std::make_unique<PipeWireCapture>())
    , m_retry(std::make_unique<QTimer>())
{
    m_path = options.path;
    if (m_path == Path::Automatic)
        m_path = MutterRemoteDesktopSession::available(options.bus) ? Path::Mutter : Path::Portal;
    if (m_path == Path::Mutter)
        m_session = std::make_unique<MutterRemoteDesktopSession>(options.bus);
    else
        m_session = std::make_unique<PortalRemoteDesktopSession>(options.bus, options.settings);
    m_input = std::make_unique<WaylandInput>(*m_session);

    QObject::connect(m_session.get(), &RemoteDesktopSession::stateChanged, m_session.get(),
                     [this] { sessionChanged(); });
    QObject::connect(m_capture.get(), &PipeWireCapture::failed, m_capture.get(),
                     [this](const QString &reason) { captureFailed(reason); });
    m_retry->setSingleShot(true);
    m_retry->setInterval(retryPause);
    QObject::connect(m_retry.get(), &QTimer::timeout, m_retry.get(), [this] { startSession(); });

    setState(State::Starting);
    startSession();
}

WaylandDesktopBackend::~WaylandDesktopBackend()
{
    // The session's last state change must not reach a half-destroyed backend.
    QObject::disconnect(m_session.get(), nullptr, m_session.get(), nullptr);
    m_retry->stop();
    m_capture->disconnect();
    // Nothing stays pressed: the releases go out before the session's end.
    m_input.reset();
    m_session->stop();
}

WaylandDesktopBackend::Path WaylandDesktopBackend::path() const
{
    return m_path;
}

QString WaylandDesktopBackend::failure() const
{
    return m_failure;
}

PipeWireCapture &WaylandDesktopBackend::capture()
{
    return *m_capture;
}

void WaylandDesktopBackend::startSession()
{
    m_retry->stop();
    m_capture->disconnect();
    m_input->reset();
    m_session->start();
}

void WaylandDesktopBackend::sessionChanged()
{
    const State session = m_session->state();
    if (session != State::Ready) {
        m_capture->disconnect();
        if (session == State::Failed) {
            m_failure = m_session->failure();
            // Setting mutter's session up again asks nobody; the portal would show its dialog.
            if (m_path == Path::Mutter)
                m_retry->start();
        }
        setState(session);
        return;
    }
    const RemoteDesktopSession::Stream &stream = *m_session->stream();
    int remote = -1;
    if (stream.remote.isValid()) {
        // PipeWire takes the descriptor over; the session keeps its own.
        remote = fcntl(stream.remote.fileDescriptor(), F_DUPFD_CLOEXEC, 0);
        if (remote < 0) {
            captureFailed(QStringLiteral("PipeWire: the portal's connection cannot be used"));
            return;
        }
    }
    m_input->reset();
    if (!m_capture->connectTo(stream.nodeId, remote)) {
        captureFailed(m_capture->failure());
        return;
    }
    m_failure.clear();
    m_framesAtCapture.reset();
    setState(State::Ready);
}

void WaylandDesktopBackend::captureFailed(const QString &reason)
{
    m_failure = reason;
    m_capture->disconnect();
    m_session->stop();
    setState(State::Failed);
    if (m_path == Path::Mutter)
        m_retry->start();
}

std::optional<ScreenImage> WaylandDesktopBackend::captureMainDisplay()
{
    if (state() != State::Ready)
        return std::nullopt;
    std::optional<ScreenImage> image = m_capture->latestFrame();
    if (image)
        m_framesAtCapture = m_capture->framesReceived();
    return image;
}

bool WaylandDesktopBackend::mainDisplayMayHaveChanged()
{
    return state() != State::Ready || !m_framesAtCapture || m_capture->framesReceived() != *m_framesAtCapture;
}

QRectF WaylandDesktopBackend::mainDisplayBounds()
{
    if (state() != State::Ready || !m_session->stream())
        return {};
    return QRectF(m_session->stream()->area);
}

void WaylandDesktopBackend::warpPointer(QPointF point)
{
    m_input->warpPointer(point);
}

void WaylandDesktopBackend::postMouse(MouseEvent type, QPointF point, std::int64_t clickState)
{
    m_input->postMouse(type, point, clickState);
}

void WaylandDesktopBackend::postScroll(QPointF point, std::int32_t deltaY)
{
    m_input->postScroll(point, deltaY);
}

void WaylandDesktopBackend::postKey(NamedKey key, bool down)
{
    m_input->postKey(key, down);
}

qsizetype WaylandDesktopBackend::typeText(const QString &text)
{
    return m_input->typeText(text);
}

void WaylandDesktopBackend::holdModifiers(KeyModifiers modifiers)
{
    m_input->holdModifiers(modifiers);
}

void WaylandDesktopBackend::requestAccess()
{
    if (state() == State::Refused || state() == State::Failed)
        startSession();
}

bool WaylandDesktopBackend::asksEveryTime() const
{
    return m_session->asksEveryTime();
}
