#include "KivrenTunnel.h"

#include "ChildLifetime.h"
#include "LocalSwitchboard.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

namespace {

const QString cloudflaredTool = QStringLiteral("cloudflared");
const QString sshTool = QStringLiteral("ssh");

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

KivrenTunnel::KivrenTunnel(QStringList searchDirectories, QObject *parent)
    : QObject(parent)
    , m_searchDirectories(std::move(searchDirectories))
{
}

KivrenTunnel::~KivrenTunnel()
{
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

QStringList KivrenTunnel::sshArguments(quint16 port)
{
    return {QStringLiteral("-p"),
            QStringLiteral("443"),
            QStringLiteral("-o"),
            QStringLiteral("StrictHostKeyChecking=no"),
            QStringLiteral("-o"),
            QStringLiteral("ServerAliveInterval=30"),
            // Remote port 0: the service picks the public port.
            QStringLiteral("-R0:127.0.0.1:%1").arg(port),
            pinggySshHost};
}

std::optional<QString> KivrenTunnel::originIn(QByteArrayView chunk)
{
    // 1. Nothing read: nothing to report.
    if (chunk.isEmpty())
        return std::nullopt;
    // 2. Each chunk must be valid UTF-8 on its own; one cut inside a character is dropped.
    if (!chunk.isValidUtf8())
        return std::nullopt;
    const QString text = QString::fromUtf8(chunk);
    // 3. Compiled once; a pattern that failed to compile finds nothing.
    static const QRegularExpression pattern(originPattern());
    if (!pattern.isValid())
        return std::nullopt;
    // 4. The first match is the origin.
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
    // 1. The old child is asked to go and forgotten; it is released once it has ended.
    if (QProcess *old = m_process) {
        m_process = nullptr;
        old->disconnect(this);
        if (old->state() == QProcess::NotRunning) {
            old->deleteLater();
        } else {
            connect(old, &QProcess::finished, old, &QObject::deleteLater);
            old->terminate();
        }
    }
    // 2-4. cloudflared when installed, else ssh, else no tunnel.
    if (const auto cloudflared = which(cloudflaredTool))
        launch(*cloudflared, cloudflaredArguments(port));
    else if (const auto ssh = which(sshTool))
        launch(*ssh, sshArguments(port));
}

void KivrenTunnel::launch(const QString &executable, const QStringList &arguments)
{
    // 1. Environment and working directory are inherited; both streams share one channel.
    auto *child = new QProcess(this);
    child->setProgram(executable);
    child->setArguments(arguments);
    child->setProcessChannelMode(QProcess::MergedChannels);
    ChildLifetime::endWithParent(*child);

    // 3. Every arrival is one chunk. readyRead stops firing once the output has ended.
    connect(child, &QProcess::readyRead, this, [this, child] {
        const QByteArray chunk = child->readAll();
        handleChunk(chunk);
    });

    // 2. A refused launch leaves no tunnel.
    child->start(QIODevice::ReadOnly);
    if (!child->waitForStarted()) {
        child->disconnect(this);
        child->deleteLater();
        return;
    }
    m_process = child;
}

void KivrenTunnel::handleChunk(QByteArrayView chunk)
{
    const std::optional<QString> origin = originIn(chunk);
    if (!origin)
        return;
    m_publicOrigin = *origin;
    emit publicOriginChanged(m_publicOrigin);
    if (m_onOrigin)
        m_onOrigin(*origin);
}
