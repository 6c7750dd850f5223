#pragma once

#include "Backoff.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>

class QProcess;

// Publishes the local switchboard on the internet through a tunnel child: cloudflared's quick
// tunnel when installed, else an ssh reverse tunnel to Pinggy. Reads the child's output chunk
// by chunk and reports every public https origin it finds. A child that exits, or that prints
// no origin within `Timing::originBound`, is started again after a pause that doubles with each
// attempt up to `Timing::maxRetry`; an origin found resets the pause. Without either tool it
// looks again every `maxRetry`, so a tool installed later is picked up. Main thread only.
//
// ssh keeps the tunnel service's host key from the first connection in a known-hosts file of this
// app's own and refuses any other key afterwards, so an impostor in the middle never gets the
// switchboard to publish. Such a refusal, read from ssh's output, is a state of its own; the
// attempts go on (with their pauses), in case the impostor goes away.
//
// publicOriginChanged is emitted each time an origin is found, even when it equals the
// previous one, so that observers see every report (a tunnel that restarts may print the same
// origin again). The origin is kept when the child goes: `state` says whether it still serves.
class KivrenTunnel : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString publicOrigin READ publicOrigin NOTIFY publicOriginChanged)
    Q_PROPERTY(State state READ state NOTIFY stateChanged)

public:
    enum class State {
        idle,      // not started, or stopped
        noTool,    // neither cloudflared nor ssh is installed
        starting,  // the first child runs and has printed no origin yet
        published, // the child printed an origin and still runs
        closed,    // the child exited (or would not start); retrying
        silent,    // the child printed no origin in time and was ended; retrying
        hostKeyChanged, // ssh refused the service: its host key is not the one kept; retrying
    };
    Q_ENUM(State)

    struct Timing
    {
        std::chrono::milliseconds originBound{30000}; // launch -> origin, or the child is ended
        std::chrono::milliseconds firstRetry{2000};   // pause before the first new attempt
        std::chrono::milliseconds maxRetry{60000};    // the longest pause, and the tool search's
    };

    // Domains an origin may end in, in the order the pattern tries them.
    static inline const QString cloudflareQuickTunnelDomain = QStringLiteral("trycloudflare.com");
    static inline const QString pinggyFreeDomain = QStringLiteral("free.pinggy.link");
    static inline const QString pinggyDomain = QStringLiteral("pinggy.link");
    // The Pinggy service's ssh endpoint.
    static inline const QString pinggySshHost = QStringLiteral("a.pinggy.io");

    // What ssh prints when the service's host key is not the one kept.
    static inline const QByteArray sshHostKeyRefusal = QByteArrayLiteral("Host key verification failed.");

    // `searchDirectories` each end in "/"; a tool candidate is the directory plus the tool name.
    // `knownHostsFile` is where ssh keeps the service's host key: a file of this app's own, in a
    // folder only this user may write.
    KivrenTunnel(QStringList searchDirectories, QString knownHostsFile, QObject *parent = nullptr);
    KivrenTunnel(QStringList searchDirectories, QString knownHostsFile, Timing timing, QObject *parent = nullptr);
    // Ends the child: a tunnel left behind would keep the switchboard public.
    ~KivrenTunnel() override;

    // /opt/homebrew/bin/, /usr/local/bin/, /usr/bin/, home/.nvm/versions/node/v22.23.1/bin/
    static QStringList defaultSearchDirectories(const QString &home);
    static QStringList cloudflaredArguments(quint16 port);
    static QStringList sshArguments(quint16 port, const QString &knownHostsFile);
    // The first origin in one chunk of output; none when the chunk is not valid UTF-8 as a
    // whole or holds no origin.
    static std::optional<QString> originIn(QByteArrayView chunk);

    QString publicOrigin() const { return m_publicOrigin; }
    State state() const { return m_state; }
    // Called on the main thread with every origin found, never with an empty text.
    void setOnOrigin(std::function<void(const QString &)> callback) { m_onOrigin = std::move(callback); }

    // Asks a running child to terminate, then launches cloudflared, else ssh, else nothing; the
    // retries start over from the first pause.
    void start(quint16 port);
    // Ends the child and every retry: the switchboard behind the port is no longer this
    // machine's, and must not be published.
    void stop();
    // One chunk of the child's output, as it arrived.
    void handleChunk(QByteArrayView chunk);

    // The running child, null when none (for tests).
    QProcess *child() const { return m_process; }
    // The first executable candidate for `tool` in the search directories.
    std::optional<QString> which(const QString &tool) const;

signals:
    void publicOriginChanged(const QString &publicOrigin);
    void stateChanged(KivrenTunnel::State state);

private:
    // Replaces the child with a new one; `retrying` keeps the state that led here until an
    // origin is found.
    void relaunch(State retrying);
    bool launch(const QString &executable, const QStringList &arguments);
    void release(QProcess *child);
    void onChildFinished(QProcess *child);
    void onNoOrigin();
    void retryLater(State state);
    void setState(State state);

    QStringList m_searchDirectories;
    QString m_knownHostsFile;
    Timing m_timing;
    QString m_publicOrigin;
    QProcess *m_process = nullptr; // child of this object
    std::function<void(const QString &)> m_onOrigin;
    State m_state = State::idle;
    quint16 m_port = 0;
    Backoff m_backoff;
    // The current child's last output, carried over chunks, to find ssh's refusal in; and
    // whether it was found.
    QByteArray m_outputTail;
    bool m_hostKeyRefused = false;
    QTimer m_retry;        // single shot: the next attempt
    QTimer m_originBound;  // single shot: no origin from the current child in time
};
