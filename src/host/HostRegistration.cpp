#include "HostRegistration.h"

#include "HostIdentity.h"
#include "KivrenAPI.h"
#include "SessionProtocol.h"
#include "SwitchboardTrust.h"

#include <QTimer>

namespace Requests = SwitchboardRequests;

HostRegistration::HostRegistration(KivrenAPI &api, HostIdentity &identity, SwitchboardTrust &trust, Options options,
                                   QObject *parent)
    : QObject(parent)
    , m_api(api)
    , m_identity(identity)
    , m_trust(trust)
    , m_options(std::move(options))
    , m_unattended(m_options.unattended)
{
    // Made here but started only once the switchboard is proven.
    m_tunnel = new KivrenTunnel(m_options.tunnelDirectories, m_options.tunnelKnownHosts, m_options.tunnelTiming, this);
    // Every origin the tunnel reports is taken on in a task of its own.
    m_tunnel->setOnOrigin([this](const QString &origin) {
        m_requests.start([this, origin](std::stop_token stop) { return reportOrigin(origin, std::move(stop)); });
    });
    connect(&m_trust, &SwitchboardTrust::provenChanged, this, &HostRegistration::onProvenChanged);
}

void HostRegistration::start()
{
    m_loop.start([this](std::stop_token stop) { return registerOnly(std::move(stop)); },
                 [this](std::stop_token stop) { return heartbeat(std::move(stop)); }, m_options.timing.firstPass,
                 m_options.timing.period, [this](std::stop_token stop) { return m_trust.prove(std::move(stop)); });
}

void HostRegistration::onProvenChanged(bool proven)
{
    // Only a proven switchboard is published: a tunnel would otherwise publish whoever holds the
    // port.
    if (!proven || !m_options.startTunnel)
        return;
    QTimer::singleShot(m_options.timing.tunnelDelay, this, [this] {
        if (m_trust.proven() && m_trust.listeningPort() != 0 && m_tunnel->state() == KivrenTunnel::State::idle)
            m_tunnel->start(m_trust.listeningPort());
    });
}

void HostRegistration::switchboardLost()
{
    setRegistration(HostStatus::Registration::none);
    // The tunnel ends with it; a new one reports an origin of its own.
    m_tunnel->stop();
    m_tunnelOrigin.clear();
    m_originTaken = false;
}

void HostRegistration::sessionEnded()
{
    // The session showed that the switchboard knows this host. Until the next registration the
    // status names no ID, as it always did after a session.
    if (m_registration != HostStatus::Registration::refused)
        setRegistration(HostStatus::Registration::sessionEnded);
}

StoppableTask<> HostRegistration::reportOrigin(QString origin, std::stop_token stop)
{
    // The store learns the origin whatever happens to the request.
    setOrigin(origin);
    m_identity.store(cloudKey, origin);
    m_tunnelOrigin = origin;
    m_originTaken = false;
    co_await tellOrigin(stop);
}

StoppableTask<> HostRegistration::tellOrigin(std::stop_token stop)
{
    if (!m_trust.proven() || m_tunnelOrigin.isEmpty() || m_originTaken)
        co_return;
    // The switchboard takes the origin only from this machine's host: the proof header that
    // every request carries, and the ID and token this host registered.
    const QString origin = m_tunnelOrigin;
    const KivrenAnswer answer =
        co_await Requests::post(m_api, Requests::Origin{origin, m_identity.publicId(), m_identity.hostToken()}, stop);
    // A refusal (the registration not through yet) or a failure: the next registration asks again.
    if (answer.ok() && m_trust.proven() && m_tunnelOrigin == origin)
        m_originTaken = true;
}

void HostRegistration::registerNow()
{
    m_requests.start([this](std::stop_token stop) { return registerHost(std::move(stop)); });
}

void HostRegistration::setUnattended(bool unattended)
{
    if (m_unattended == unattended)
        return;
    m_unattended = unattended;
    registerNow();
}

StoppableTask<> HostRegistration::registerHost(std::stop_token stop)
{
    if (co_await m_trust.prove(stop))
        co_await registerOnly(stop);
}

StoppableTask<> HostRegistration::registerOnly(std::stop_token stop)
{
    // The password and token go only to a switchboard proven to be ours.
    if (!m_trust.proven())
        co_return;
    const Requests::Register request{m_identity.publicId(), m_options.computerName, SessionProtocol::platformName,
                                     m_identity.password(), m_identity.hostToken(), m_unattended, true,
                                     m_identity.encryptedOnly()};
    // Only the outcome counts; the answer's content is not read.
    const KivrenAnswer answer = co_await Requests::post(m_api, request, stop);
    // Lost while the answer was on its way: what it says is about a port that is not ours.
    if (!m_trust.proven())
        co_return;
    if (answer.ok()) {
        setRegistration(HostStatus::Registration::registered);
        co_await tellOrigin(stop);
    } else if (answer.error->domain == KivrenError::kivrenDomain) {
        m_refusal = answer.error->description;
        setRegistration(HostStatus::Registration::refused);
    } else {
        setRegistration(HostStatus::Registration::none);
    }
}

StoppableTask<> HostRegistration::heartbeat(std::stop_token stop)
{
    if (!m_trust.proven())
        co_return;
    const KivrenAnswer answer =
        co_await Requests::post(m_api, Requests::Heartbeat{m_identity.publicId(), m_identity.hostToken()}, stop);
    // A failed heartbeat changes nothing; the next pass tries again. Nor does one from a port
    // lost while it was on its way.
    if (!m_trust.proven() || !answer.ok())
        co_return;
    const Requests::HeartbeatAnswer beat = Requests::HeartbeatAnswer::fromJson(answer.object);
    // The heartbeat only fills in an origin still unknown; the tunnel's reports replace it.
    if (m_origin.isEmpty() && beat.origin && beat.origin->startsWith(QStringLiteral("http")))
        setOrigin(*beat.origin);
    if (beat.pending)
        emit viewerWaiting(*beat.pending);
    co_await readLockout(false, std::move(stop));
}

void HostRegistration::liftLockout()
{
    m_requests.start([this](std::stop_token stop) { return readLockout(true, std::move(stop)); });
}

StoppableTask<> HostRegistration::readLockout(bool lift, std::stop_token stop)
{
    if (!m_trust.proven())
        co_return;
    const KivrenAnswer answer = co_await Requests::post(
        m_api, Requests::Lockout{m_identity.publicId(), m_identity.hostToken(), lift, true}, stop);
    // An older switchboard without the call, or one lost meanwhile: nothing is known.
    if (!m_trust.proven() || !answer.ok())
        co_return;
    emit lockoutRead(Requests::LockoutAnswer::fromJson(answer.object));
}

void HostRegistration::setOrigin(const QString &origin)
{
    if (m_origin == origin)
        return;
    m_origin = origin;
    emit originChanged(m_origin);
}

void HostRegistration::setRegistration(HostStatus::Registration registration)
{
    m_registration = registration;
    emit registrationChanged();
}
