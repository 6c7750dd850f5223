#pragma once

#include <QByteArrayView>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QProcess;

// Publishes the local switchboard on the internet through a tunnel child: cloudflared's quick
// tunnel when installed, else an ssh reverse tunnel to Pinggy. Reads the child's output chunk
// by chunk and reports every public https origin it finds. Main thread only.
//
// publicOriginChanged is emitted each time an origin is found, even when it equals the
// previous one, so that observers see every report (a tunnel that restarts may print the same
// origin again).
class KivrenTunnel : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString publicOrigin READ publicOrigin NOTIFY publicOriginChanged)

public:
    // Domains an origin may end in, in the order the pattern tries them.
    static inline const QString cloudflareQuickTunnelDomain = QStringLiteral("trycloudflare.com");
    static inline const QString pinggyFreeDomain = QStringLiteral("free.pinggy.link");
    static inline const QString pinggyDomain = QStringLiteral("pinggy.link");
    // The Pinggy service's ssh endpoint.
    static inline const QString pinggySshHost = QStringLiteral("a.pinggy.io");

    // `searchDirectories` each end in "/"; a tool candidate is the directory plus the tool name.
    explicit KivrenTunnel(QStringList searchDirectories, QObject *parent = nullptr);
    // Ends the child: a tunnel left behind would keep the switchboard public.
    ~KivrenTunnel() override;

    // /opt/homebrew/bin/, /usr/local/bin/, /usr/bin/, home/.nvm/versions/node/v22.23.1/bin/
    static QStringList defaultSearchDirectories(const QString &home);
    static QStringList cloudflaredArguments(quint16 port);
    static QStringList sshArguments(quint16 port);
    // The first origin in one chunk of output; none when the chunk is not valid UTF-8 as a
    // whole or holds no origin.
    static std::optional<QString> originIn(QByteArrayView chunk);

    QString publicOrigin() const { return m_publicOrigin; }
    // Called on the main thread with every origin found, never with an empty text.
    void setOnOrigin(std::function<void(const QString &)> callback) { m_onOrigin = std::move(callback); }

    // Asks a running child to terminate, then launches cloudflared, else ssh, else nothing.
    void start(quint16 port);
    // One chunk of the child's output, as it arrived.
    void handleChunk(QByteArrayView chunk);

    // The running child, null when none (for tests).
    QProcess *child() const { return m_process; }
    // The first executable candidate for `tool` in the search directories.
    std::optional<QString> which(const QString &tool) const;

signals:
    void publicOriginChanged(const QString &publicOrigin);

private:
    void launch(const QString &executable, const QStringList &arguments);

    QStringList m_searchDirectories;
    QString m_publicOrigin;
    QProcess *m_process = nullptr; // child of this object
    std::function<void(const QString &)> m_onOrigin;
};
