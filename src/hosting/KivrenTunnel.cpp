#include "KivrenTunnel.h"

#include "ChildLifetime.h"
#include "LocalSwitchboard.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include <utility>

namespace {

const QString cloudflaredTool = QStringLiteral("cloudflared");
const QString sshTool = QStringLiteral("ssh");
// Enough to hold ssh's refusal line when it arrives cut in two.
constexpr qsizetype outputTailBytes = 256;

// https, a host made of letters, digits, dots and hyphens, then one of the tunnel domains.
// Dots inside the domains match only dots; the match ends with the domain.
QString originPattern()
{
    const QString domains[] = {KivrenTunnel::cloudflareQuickTunnelDomain, KivrenTunnel::pinggyFreeDomain,
                               KivrenTunnel::pinggyDomain};
    QStringList alternatives;
    for (const QString &domain : domains)
        alternatives << QRegularExpression::escape(domain);
    return QStringLiteral("https://[A-Za-z0-9.-]+\\.(?:%1)").arg(alternatives.join(QLatin1Char('|')));
}

} // namespace

KivrenTunnel::KivrenTunnel(QStringList searchDirectories, QString knownHostsFile, QObject *parent)
    : KivrenTunnel(std::move(searchDirectories), std::move(knownHostsFile), Timing{}, parent)
{
}

KivrenTunnel::KivrenTunnel(QStringList searchDirectories, QString knownHostsFile, Timing timing, QObject *parent)
    : QObject(parent)
    , m_searchDirectories(std::move(searchDirectories))
    , m_knownHostsFile(std::move(knownHostsFile))
    , m_timing(timing)
    , m_backoff(timing.firstRetry, timing.maxRetry)
{
    m_retry.setSingleShot(true);
    m_originBound.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, [this] { relaunch(m_state); });
    connect(&m_originBound, &QTimer::timeout, this, &KivrenTunnel::onNoOrigin);
}

KivrenTunnel::~KivrenTunnel()
{
    m_retry.stop();
    m_originBound.stop();
    // Every child still owned (the current one and any replaced one still ending) is ended
    // here rather than by QProcess's destructor, which would kill it with a warning.
    for (QProcess *child : findChildren<QProcess *>(Qt::FindDirectChildrenOnly)) {
        child->disconnect(this);
        ChildLifetime::end(*child);
    }
}

QStringList KivrenTunnel::defaultSearchDirectories(const QString &home)
{
    return {QStringLiteral("/opt/homebrew/bin/"), QStringLiteral("/usr/local/bin/"), QStringLiteral("/usr/bin/"),
            home + QStringLiteral("/.nvm/versions/node/v22.23.1/bin/")};
}

QStringList KivrenTunnel::cloudflaredArguments(quint16 port)
{
    return {QStringLiteral("tunnel"), QStringLiteral("--url"), LocalSwitchboard::loopbackOrigin(port), QStringLiteral("--no-autoupdate")};
}

QStringList KivrenTunnel::sshArguments(quint16 port, const QString &knownHostsFile)
{
    // The service's key is taken on first use and held to ever after, in a file of this app's
    // own: the user's own known hosts are neither read nor changed.
    return {QStringLiteral("-p"),
            QStringLiteral("443"),
            QStringLiteral("-o"),
            QStringLiteral("StrictHostKeyChecking=accept-new"),
            QStringLiteral("-o"),
            QStringLiteral("UserKnownHostsFile=") + knownHostsFile,
            QStringLiteral("-o"),
            QStringLiteral("ServerAliveInterval=30"),
            // Remote port 0: the service picks the public port.
            QStringLiteral("-R0:127.0.0.1:%1").arg(port),
            pinggySshHost};
}

std::optional<QString> KivrenTunnel::originIn(QByteArrayView chunk)
{
    if (chunk.isEmpty())
        return std::nullopt;
    // Chunks are judged alone, nothing carried over: one cut inside a character is dropped
    // rather than decoded with replacement characters that could end up in an origin.
    if (!chunk.isValidUtf8())
        return std::nullopt;
    const QString text = QString::fromUtf8(chunk);
    // Compiled once for every chunk; a pattern that failed to compile finds nothing.
    static const QRegularExpression pattern(originPattern());
    if (!pattern.isValid())
        return std::nullopt;
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    return match.captured(0);
}

std::optional<QString> KivrenTunnel::which(const QString &tool) const
{
    for (const QString &directory : m_searchDirectories) {
        const QString candidate = directory + tool;
        const QFileInfo info(candidate);
        if (info.isFile() && info.isExecutable())
            return candidate;
    }
    return std::nullopt;
}

void KivrenTunnel::start(quint16 port)
{
    m_port = port;
    m_backoff.reset();
    m_retry.stop();
    relaunch(State::starting);
}

void KivrenTunnel::stop()
{
    m_retry.stop();
    m_originBound.stop();
    if (QProcess *old = std::exchange(m_process, nullptr))
        release(old);
    setState(State::idle);
}

void KivrenTunnel::relaunch(State retrying)
{
    m_originBound.stop();
    if (QProcess *old = std::exchange(m_process, nullptr))
        release(old);

    bool launched = false;
    if (const auto cloudflared = which(cloudflaredTool)) {
        launched = launch(*cloudflared, cloudflaredArguments(m_port));
    } else if (const auto ssh = which(sshTool)) {
        launched = launch(*ssh, sshArguments(m_port, m_knownHostsFile));
    } else {
        // Nothing to run; a tool installed meanwhile is found on a later look.
        setState(State::noTool);
        m_retry.start(m_timing.maxRetry);
        return;
    }
    if (!launched) {
        retryLater(State::closed);
        return;
    }
    // A retry says so until it has brought an origin.
    const bool retry = retrying == State::closed || retrying == State::silent || retrying == State::hostKeyChanged;
    setState(retry ? retrying : State::starting);
    m_originBound.start(m_timing.originBound);
}

// The old child is asked to go and forgotten at once, so its late output cannot announce a stale
// origin nor its end count as the new one's; it is released once it has ended.
void KivrenTunnel::release(QProcess *child)
{
    child->disconnect(this);
    if (child->state() == QProcess::NotRunning) {
        child->deleteLater();
    } else {
        connect(child, &QProcess::finished, child, &QObject::deleteLater);
        child->terminate();
    }
}

bool KivrenTunnel::launch(const QString &executable, const QStringList &arguments)
{
    // Both streams share one channel because the tools differ in which one carries the origin.
    // Environment and working directory are inherited.
    auto *child = new QProcess(this);
    child->setProgram(executable);
    child->setArguments(arguments);
    child->setProcessChannelMode(QProcess::MergedChannels);
    ChildLifetime::endWithParent(*child);

    // Every arrival is one chunk. Nothing needs unhooking when the output ends: readyRead
    // simply stops firing.
    connect(child, &QProcess::readyRead, this, [this, child] {
        const QByteArray chunk = child->readAll();
        handleChunk(chunk);
    });
    connect(child, &QProcess::finished, this, [this, child] { onChildFinished(child); });

    // A refused launch leaves no tunnel rather than a handle to a child that never ran.
    child->start(QIODevice::ReadOnly);
    if (!child->waitForStarted()) {
        child->disconnect(this);
        child->deleteLater();
        return false;
    }
    m_process = child;
    m_outputTail.clear();
    m_hostKeyRefused = false;
    return true;
}

// The ended child stays the current one (its exit code and output remain readable) until the
// next attempt replaces it.
void KivrenTunnel::onChildFinished(QProcess *child)
{
    if (child != m_process)
        return;
    m_originBound.stop();
    retryLater(m_hostKeyRefused ? State::hostKeyChanged : State::closed);
}

void KivrenTunnel::onNoOrigin()
{
    QProcess *child = std::exchange(m_process, nullptr);
    if (!child)
        return;
    release(child);
    retryLater(State::silent);
}

void KivrenTunnel::retryLater(State state)
{
    setState(state);
    m_retry.start(m_backoff.next());
}

void KivrenTunnel::setState(State state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged(m_state);
}

void KivrenTunnel::handleChunk(QByteArrayView chunk)
{
    // ssh's refusal is looked for across chunks, the origin within one (see originIn).
    if (m_process) {
        m_outputTail += chunk;
        if (m_outputTail.contains(sshHostKeyRefusal))
            m_hostKeyRefused = true;
        if (m_outputTail.size() > outputTailBytes)
            m_outputTail = m_outputTail.right(outputTailBytes);
    }
    const std::optional<QString> origin = originIn(chunk);
    if (!origin)
        return;
    // A child that published serves: it is given all the time it runs, and the next failure
    // starts again from the shortest pause.
    if (m_process) {
        m_originBound.stop();
        m_backoff.reset();
        setState(State::published);
    }
    m_publicOrigin = *origin;
    emit publicOriginChanged(m_publicOrigin);
    if (m_onOrigin)
        m_onOrigin(*origin);
}
