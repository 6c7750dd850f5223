#pragma once

#include "BackgroundWorker.h"
#include "BookEntry.h"
#include "OwnedTask.h"
#include "RemoteInput.h"
#include "SessionPhase.h"
#include "TaskGroup.h"
#include "Transport.h"
#include "ViewerSession.h"

#include <QImage>
#include <QList>
#include <QObject>
#include <QRegion>
#include <QSizeF>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

class KivrenAPI;
class SettingsStore;

// The viewer: what the window shows of it, the address book and the cloud address. Each
// connection attempt runs as one ViewerSession (lookup, connect, pictures in, the user's input
// out), owned here and published through this object.
//
// Lives on the main thread. Every published field is a Q_PROPERTY whose change signal is
// emitted after the new value is stored, so a slot reading the property sees the new value.
// `phase` and `transport` are published as their enum types (Qt 6 registers them on first
// use); the C++ accessors are what the window reads.
//
// connect/disconnect are named connectToRemote/disconnectFromRemote so they do not hide
// QObject::connect/disconnect.
class KivrenClient : public QObject, private ViewerSession::Listener
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
    Q_PROPERTY(bool pictureStale READ pictureStale NOTIFY pictureStaleChanged)
    // The session opened is encrypted end to end (the bar shows a lock).
    Q_PROPERTY(bool encrypted READ encrypted NOTIFY encryptedChanged)
    Q_PROPERTY(RemotePointer remotePointer READ remotePointer NOTIFY remotePointerChanged)
    Q_PROPERTY(std::optional<QString> error READ error NOTIFY errorChanged)
    Q_PROPERTY(QList<BookEntry> book READ book NOTIFY bookChanged)

public:
    // Settings keys this object reads and writes.
    static inline const QString cloudKey = QStringLiteral("kivren.cloud");
    static inline const QString bookKey = QStringLiteral("kivren.book");
    // The address book keeps the most recently reached machines only.
    static constexpr int bookLimit = 12;
    // The local switchboard the request transport points at until a cloud address is saved
    // (LocalSwitchboard::loopbackOrigin()).
    static QString loopbackOrigin();

    // `settings` must outlive the client. `computerName` is sent as "clientName"
    // (PlatformWording::computerNameFallback() when none); the app passes ComputerName::current().
    KivrenClient(SettingsStore &settings, std::optional<QString> computerName, QObject *parent = nullptr);
    ~KivrenClient() override;

    QString cloudURL() const override { return m_cloudURL; }
    QString remoteId() const { return m_remoteId; }
    QString remotePassword() const { return m_remotePassword; }
    SessionPhase phase() const { return m_phase; }
    QString status() const { return m_status; }
    Transport transport() const override { return m_transport; }
    QString hostName() const { return m_hostName; }
    // A null image means no picture.
    QImage frame() const { return m_frame; }
    QSizeF remoteSize() const { return m_remoteSize; }
    // The picture is the last one seen, not a live one: the other computer is not answering.
    bool pictureStale() const { return m_pictureStale; }
    bool encrypted() const { return m_encrypted; }
    // The host's pointer to draw over the picture; null: none.
    RemotePointer remotePointer() const { return m_remotePointer; }
    std::optional<QString> error() const { return m_error; }
    QList<BookEntry> book() const { return m_book; }

    // Bound to the window's fields; each emits only when the text changes. Setting cloudURL
    // does not store it: setCloud does (the window's save action).
    void setCloudURL(const QString &text);
    void setRemoteId(const QString &text);
    void setRemotePassword(const QString &text);

    // Validates the typed ID and password and starts the session task; the one before it is
    // stopped and its session closed, and nothing of its picture is shown any more.
    void connectToRemote();
    // Ends the session: idle, "Disconnected", no picture, and a "close" sent for it once the
    // input already queued (key releases among it) has gone out.
    void disconnectFromRemote();
    // The user's input, each dropped unless live, sent in the order of the calls. What the host
    // did not announce is left out (ViewerSession::send).
    // One pointer event.
    void send(const RemoteInput &input);
    // One key press or release: a special key by its codeName, or a shortcut's key with its
    // modifiers.
    void sendKey(const SessionProtocol::Key &key);
    // Characters to type.
    void sendText(const QString &text);
    // Trims white space, then "/" at both ends; stores and publishes the result.
    void setCloud(const QString &text);

    // This computer's own ID (compact; empty when it has none): connecting to it is refused, as
    // it would only show this screen inside itself.
    void setOwnId(const QString &compactId);

    // The address book, as the person keeps it. Each returns whether the book changed; the
    // change is stored at once.
    // Gives the entry of this ID the name (trimmed; an empty one changes nothing), kept over
    // the name its host reports on later connects.
    bool renameBookEntry(const QString &id, const QString &name);
    bool removeBookEntry(const QString &id);
    // The person chose an entry to reach: its ID goes into the ID field (a password typed for
    // another ID is cleared). With the password typed it connects and returns true; without, the
    // status asks for it and this returns false, for the window to put the cursor there.
    bool openBookEntry(const QString &id);

    // The request transport (tests read its base or shorten its timeout).
    KivrenAPI &api() { return *m_api; }
    // The current or last session, null before the first connect and after a disconnect
    // (tests read what it learned of its host).
    const ViewerSession *session() const { return m_session.get(); }

signals:
    void cloudURLChanged(const QString &cloudURL);
    void remoteIdChanged(const QString &remoteId);
    void remotePasswordChanged(const QString &remotePassword);
    void phaseChanged(SessionPhase phase);
    void statusChanged(const QString &status);
    void transportChanged(Transport transport);
    void hostNameChanged(const QString &hostName);
    void frameChanged(const QImage &frame);
    // Right after frameChanged, with the area of the new picture (in its pixels) that differs
    // from the one before: all of it when the picture was replaced, only the changed areas when
    // they alone came; empty when there is no picture. A view repaints just that.
    void frameRedrawn(const QImage &frame, const QRegion &area);
    void remoteSizeChanged(const QSizeF &remoteSize);
    void pictureStaleChanged(bool pictureStale);
    void encryptedChanged(bool encrypted);
    void remotePointerChanged(const RemotePointer &remotePointer);
    void errorChanged(const std::optional<QString> &error);
    void bookChanged(const QList<BookEntry> &book);

private:
    void sendMessage(SessionProtocol::ViewerMessage message);
    void remember(const QString &id, const QString &name, const QString &deviceToken) override;
    void loadBook();
    // Posts "close" for a session; answer and failure are ignored.
    void startClose(const SessionProtocol::SessionKeys &keys);
    // An ended session's input queue: it sends what it holds, closes the session, and is kept
    // until then.
    void drain(std::unique_ptr<InputQueue> input);

    void setPhase(SessionPhase phase) override;
    void setStatus(const QString &status) override;
    void setTransport(Transport transport) override;
    void setHostName(const QString &name) override;
    void setFrame(const QImage &frame, const QRegion &changed) override;
    void setRemoteSize(const QSizeF &size) override;
    void setPictureStale(bool stale) override;
    void setEncrypted(bool encrypted) override;
    void setRemotePointer(const RemotePointer &pointer) override;
    void setError(const std::optional<QString> &error) override;
    void setBook(const QList<BookEntry> &book);
    void storeBook();
    // While nothing is under way the status says what to type next.
    void refreshHint();

    SettingsStore &m_settings;
    QString m_clientName;
    KivrenAPI *m_api = nullptr; // child

    QString m_cloudURL;
    QString m_remoteId;
    QString m_remotePassword;
    QString m_ownId;
    SessionPhase m_phase = SessionPhase::idle;
    QString m_status;
    Transport m_transport = Transport::relay;
    QString m_hostName;
    QImage m_frame;
    QSizeF m_remoteSize{1280, 720};
    bool m_pictureStale = false;
    bool m_encrypted = false;
    RemotePointer m_remotePointer;
    std::optional<QString> m_error;
    QList<BookEntry> m_book;

    // Decodes the sessions' pictures off the window's thread. Declared before the session, so
    // that it goes after it: a session stopped with a decode on its way is resumed, as
    // cancelled, when the worker ends, even if no event loop runs any more.
    BackgroundWorker m_decoding;
    // At most one at a time; a newer connect replaces it.
    OwnedTask<ViewerSession> m_session;
    // The close requests and the sessions' pushes: they outlive a session, not the client.
    TaskGroup m_background;
    // The input queues of ended sessions still sending (their pushes run under m_background's
    // token as well, so they end with the client whichever goes first).
    std::vector<std::unique_ptr<InputQueue>> m_endedInputs;
};
