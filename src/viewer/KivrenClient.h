#pragma once

#include "BookEntry.h"
#include "JpegDecoder.h"
#include "KivrenError.h"
#include "RemoteInput.h"
#include "SessionPhase.h"
#include "Transport.h"

#include <QImage>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QObject>
#include <QSizeF>
#include <QString>

#include <QCoroTask>

#include <chrono>
#include <optional>
#include <stop_token>

class KivrenAPI;
class SettingsStore;

// The viewer: looks a remote machine up at the switchboard, opens a session, polls its
// pictures and pushes the user's pointer events, and remembers the machines it reached.
//
// Lives on the main thread. Every published field is a Q_PROPERTY whose change signal is
// emitted after the new value is stored, so a slot reading the property sees the new value.
// `phase` and `transport` are published as their enum types (Qt 6 registers them on first
// use); the C++ accessors are what the window reads.
//
// connect/disconnect are named connectToRemote/disconnectFromRemote so they do not hide
// QObject::connect/disconnect.
class KivrenClient : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString cloudURL READ cloudURL WRITE setCloudURL NOTIFY cloudURLChanged)
    Q_PROPERTY(QString remoteId READ remoteId WRITE setRemoteId NOTIFY remoteIdChanged)
    Q_PROPERTY(QString remotePassword READ remotePassword WRITE setRemotePassword NOTIFY remotePasswordChanged)
    Q_PROPERTY(SessionPhase phase READ phase NOTIFY phaseChanged)
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
    Q_PROPERTY(Transport transport READ transport NOTIFY transportChanged)
    Q_PROPERTY(QString hostName READ hostName NOTIFY hostNameChanged)
    Q_PROPERTY(QImage frame READ frame NOTIFY frameChanged)
    Q_PROPERTY(QSizeF remoteSize READ remoteSize NOTIFY remoteSizeChanged)
    Q_PROPERTY(std::optional<QString> error READ error NOTIFY errorChanged)
    Q_PROPERTY(QList<BookEntry> book READ book NOTIFY bookChanged)

public:
    // Settings keys this object reads and writes.
    static inline const QString cloudKey = QStringLiteral("kivren.cloud");
    static inline const QString bookKey = QStringLiteral("kivren.book");
    // The address book keeps the most recently reached machines only.
    static constexpr int bookLimit = 12;
    // The local switchboard (KivrenCloudProcess::port on loopback) the request transport
    // points at until a cloud address is saved: "http://127.0.0.1:17880".
    static QString loopbackOrigin();
    // Pause between the end of one poll and the start of the next.
    static constexpr std::chrono::milliseconds pollPause{90};

    // `settings` must outlive the client. `computerName` is sent as "clientName" ("Mac" when
    // none); the app passes ComputerName::current().
    KivrenClient(SettingsStore &settings, std::optional<QString> computerName, QObject *parent = nullptr);
    ~KivrenClient() override;

    QString cloudURL() const { return m_cloudURL; }
    QString remoteId() const { return m_remoteId; }
    QString remotePassword() const { return m_remotePassword; }
    SessionPhase phase() const { return m_phase; }
    QString status() const { return m_status; }
    Transport transport() const { return m_transport; }
    QString hostName() const { return m_hostName; }
    // A null image means no picture.
    QImage frame() const { return m_frame; }
    QSizeF remoteSize() const { return m_remoteSize; }
    std::optional<QString> error() const { return m_error; }
    QList<BookEntry> book() const { return m_book; }

    // Bound to the window's fields; each emits only when the text changes. Setting cloudURL
    // does not store it: setCloud does (the window's save action).
    void setCloudURL(const QString &text);
    void setRemoteId(const QString &text);
    void setRemotePassword(const QString &text);

    // Validates the typed ID and password and starts the session task (cancelling the one
    // before it without closing its session).
    void connectToRemote();
    // Ends the session: idle, "Disconnected", no picture, and a "close" sent for it.
    void disconnectFromRemote();
    // One pointer event; dropped unless live.
    void send(const RemoteInput &input);
    // Trims white space, then "/" at both ends; stores and publishes the result.
    void setCloud(const QString &text);

    // The poll cursor an answer's "since" leads to: a number truncated toward zero; none (keep
    // the cursor) for anything else, a non-finite number or one outside the signed 64-bit range.
    static std::optional<qint64> cursorFrom(const QJsonValue &since);

    // The request transport (tests read its base or shorten its timeout).
    KivrenAPI &api() { return *m_api; }

signals:
    void cloudURLChanged(const QString &cloudURL);
    void remoteIdChanged(const QString &remoteId);
    void remotePasswordChanged(const QString &remotePassword);
    void phaseChanged(SessionPhase phase);
    void statusChanged(const QString &status);
    void transportChanged(Transport transport);
    void hostNameChanged(const QString &hostName);
    void frameChanged(const QImage &frame);
    void remoteSizeChanged(const QSizeF &remoteSize);
    void errorChanged(const std::optional<QString> &error);
    void bookChanged(const QList<BookEntry> &book);

private:
    QCoro::Task<> run(QString id, QString password, std::stop_token stop);
    // Fails with the request's error; a cancelled request also comes back as its error.
    QCoro::Task<std::optional<KivrenError>> poll(std::stop_token stop);
    void applyPollAnswer(const QJsonObject &answer, std::stop_token stop);
    QCoro::Task<> pushJSON(QJsonObject message);
    // Pushes run side by side, but a press, release or wheel event waits until the pushes
    // started before it are answered, and later events wait for it: the switchboard takes
    // concurrent requests in any order, and a release that overtakes its press leaves the
    // remote button held down. Moves between them still go out at once.
    void startPush(QJsonObject message);
    void releaseHeldPushes();
    bool mayStartPush(const QJsonObject &message) const;
    static bool changesButtons(const QJsonObject &message);
    QCoro::Task<> postClose(QString sessionId, QString token);
    void remember(const QString &id, const QString &name);
    void loadBook();
    void cancelLoop();

    void setPhase(SessionPhase phase);
    void setStatus(const QString &status);
    void setTransport(Transport transport);
    void setHostName(const QString &name);
    void setFrame(const QImage &frame);
    void setRemoteSize(const QSizeF &size);
    void setError(const std::optional<QString> &error);
    void setBook(const QList<BookEntry> &book);

    SettingsStore &m_settings;
    QString m_clientName;
    KivrenAPI *m_api = nullptr; // child
    JpegDecoder m_jpeg;

    QString m_cloudURL;
    QString m_remoteId;
    QString m_remotePassword;
    SessionPhase m_phase = SessionPhase::idle;
    QString m_status;
    Transport m_transport = Transport::relay;
    QString m_hostName;
    QImage m_frame;
    QSizeF m_remoteSize{1280, 720};
    std::optional<QString> m_error;
    QList<BookEntry> m_book;

    QString m_sessionId;
    QString m_sessionToken;
    qint64 m_since = 0;
    // The running session task and the way to cancel it; at most one at a time.
    std::optional<QCoro::Task<>> m_loop;
    std::stop_source m_loopStop;
    // Stopped when the client goes: aborts the fire-and-forget pushes and close.
    std::stop_source m_lifetime;
    int m_pushesInFlight = 0;
    bool m_barrierInFlight = false;
    QList<QJsonObject> m_heldPushes;
};
