#pragma once

#include "InputQueue.h"
#include "KivrenError.h"
#include "PollAnswerDecoding.h"
#include "PointerButtons.h"
#include "PollPacing.h"
#include "RemoteInput.h"
#include "RemotePointer.h"
#include "SessionFeatures.h"
#include "SessionPhase.h"
#include "SessionProtocol.h"
#include "SessionSeal.h"
#include "StoppableTask.h"
#include "Transport.h"

#include <QImage>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QRegion>
#include <QSizeF>
#include <QString>


#include <chrono>
#include <memory>
#include <optional>
#include <stop_token>

class BackgroundWorker;
class KivrenAPI;

// One attempt to view a remote machine: looks its ID up, opens the session, then polls its
// pictures and pushes the user's input (through its InputQueue) until the session is stopped
// or a poll fails.
// What it learns goes to a Listener (KivrenClient publishes it). Run by an OwnedTask; main
// thread. The pictures of each poll answer are decoded on a worker thread (PollAnswerDecoding),
// so a host sending many or large pictures holds neither the window nor this computer's own
// host, which runs on the same thread.
class ViewerSession
{
public:
    // Pause between the end of one poll and the start of the next, when polls are not held.
    static constexpr std::chrono::milliseconds pollPause = PollPacing::pause;
    // The status while the other computer (or the way to it) is not answering.
    static inline const QString notAnsweringStatus = QStringLiteral("The other computer is not answering");
    // The status while the session is being opened again (the switchboard lost it).
    static inline const QString reconnectingStatus = QStringLiteral("Reconnecting\u2026");
    // Why a session to an ID reached encrypted before is not opened when its lookup offers no
    // encryption now: whoever answers may be reading along, and the password would cross to it.
    static inline const QString plainRefusedReason = QStringLiteral(
        "That computer was reached encrypted before and now offers no encryption: not connecting, so that the "
        "password is not sent where it could be read");

    // The additions this viewer can use, sent in a caps message after the host's hello: the
    // changed areas of the picture instead of a whole picture for every change, and the host's
    // pointer to draw over it.
    static SessionFeatures offeredFeatures() { return {SessionProtocol::featureCursor, SessionProtocol::featureTiles}; }

    // Where the session's progress goes. Called on the main thread, never once the session has
    // been stopped.
    class Listener
    {
    public:
        // Read when the session reaches the switchboard, not when it was made.
        virtual QString cloudURL() const = 0;
        virtual Transport transport() const = 0;

        virtual void setPhase(SessionPhase phase) = 0;
        virtual void setStatus(const QString &status) = 0;
        virtual void setError(const std::optional<QString> &error) = 0;
        virtual void setHostName(const QString &name) = 0;
        virtual void setTransport(Transport transport) = 0;
        // The machine was reached: into the address book, with the device token its connect
        // answer gave (empty: it gave none, and the one kept so far stays).
        virtual void remember(const QString &id, const QString &name, const QString &deviceToken) = 0;
        // The picture once it is whole, and the area of it (in picture pixels) that differs from
        // the picture published before: all of it when the picture was replaced.
        virtual void setFrame(const QImage &frame, const QRegion &changed) = 0;
        virtual void setRemoteSize(const QSizeF &size) = 0;
        // The picture is no longer live: the other side is not answering (true), or is heard
        // again (false).
        virtual void setPictureStale(bool stale) = 0;
        // Whether the session opened is encrypted end to end; told before `remember`.
        virtual void setEncrypted(bool encrypted) { (void)encrypted; }
        // The host's pointer, to draw over the picture (only from a host that the viewer named
        // "cursor" to); a null one: none to draw.
        virtual void setRemotePointer(const RemotePointer &) {}

    protected:
        ~Listener() = default;
    };

    struct Options
    {
        // Both used only while the session has not been stopped.
        KivrenAPI *api = nullptr;
        Listener *listener = nullptr;
        // Decodes the pictures away from the window's thread; null: on this thread, in turn.
        BackgroundWorker *worker = nullptr;
        QString clientName;  // sent as "clientName"
        QString id;          // compact, nine digits
        QString password;    // display form, sent as it is
        // What the switchboard gave this machine's viewer at the last connect, sent back as
        // "deviceToken"; empty: none, and nothing is sent.
        QString deviceToken;
        // The session's keys once its connect answer names them; empty until then.
        SessionProtocol::SessionKeys keys;
        // Pushes outlive the session (a release already on its way must still arrive) and
        // stop with this token instead.
        std::stop_token pushLifetime;
        // How long one push is waited for before the input queue goes on without it.
        std::chrono::milliseconds pushWaitLimit = InputQueue::defaultWaitLimit;
        SessionFeatures offered = offeredFeatures();
        // The address book says this ID was reached encrypted before: a plain session to it is
        // refused (plainRefusedReason) without asking.
        bool requireEncrypted = false;
    };

    explicit ViewerSession(Options options);

    // Lookup, connect, then poll and pause until stopped; a failure ends it with phase failed.
    StoppableTask<> run(std::stop_token stop);

    // One message of the user's input, queued for the host once the session is live. What the
    // host did not name is left out: modifiers on a pointer event are dropped, a key with
    // modifiers or a further key name is not sent at all (an older host would type the bare
    // letter), a move with no button held (hovering) is not sent to a host without "hover" (it
    // may take it for a drag), and text is split into messages of at most maxTextCharacters.
    void send(SessionProtocol::ViewerMessage message);
    // The live session's input on its way; null before the session is live.
    InputQueue *input() const { return m_input.get(); }
    // The session's end: its input queue, handed to whoever sees it drained and the session
    // closed; null when the session never went live.
    std::unique_ptr<InputQueue> takeInput() { return std::move(m_input); }

    // The session a disconnect closes.
    SessionProtocol::SessionKeys keys() const { return m_options.keys; }
    // The additions the host named in its hello; none until it greets.
    const SessionFeatures &peerFeatures() const { return m_peerFeatures; }
    bool peerSupports(QStringView feature) const { return m_peerFeatures.contains(feature); }

    // One poll answer, as the running session takes it: the cursor, the pictures, the hello;
    // the pictures decoded on the worker when there is one, and nothing of the answer applied
    // once `stop` is requested.
    StoppableTask<> takePollAnswer(QJsonObject answer, std::stop_token stop);
    // The same, all on this thread. Public so that a harness can feed answers to a session that
    // never reached a switchboard.
    void applyPollAnswer(const QJsonObject &answer, const std::stop_token &stop);

private:
    // Lookup and connect: the session's keys and the hold its polls ask for, or why not. A
    // stopped session gets none and must not go on.
    StoppableTask<std::optional<KivrenError>> open(std::stop_token stop);
    // A session just opened: no picture, no hello, its own input queue, polled from the start.
    void startSession();
    // The cursor the answer leads to, and what the decoding starts from.
    PollAnswerDecoding::Start beginAnswer(const QJsonObject &answer);
    // Takes the decoded answer in: the pictures published and the hellos reported, in order. An
    // observer may react by disconnecting, after which nothing more of it is applied.
    void finishAnswer(PollAnswerDecoding::Outcome outcome, const std::stop_token &stop);
    // An encrypted session's answer, opened: its messages, or none when a frame failed to open
    // (m_sealFailed is then set, and the session must end).
    QList<SessionProtocol::HostMessage> openAnswer(const QJsonObject &answer);

    Options m_options;
    // No picture larger than the host's hello allows is decoded.
    QSize m_pictureBound;
    // The picture as last decoded and composed: what the host's next tiles are drawn onto. Shared
    // with whoever was given it, so the first tile drawn after a publish copies it once.
    QImage m_picture;
    std::stop_token m_stop;
    qint64 m_since = 0;
    // The "waitMs" the session's polls carry; none: the switchboard holds nothing.
    std::optional<qint64> m_waitMs;
    // The name the lookup gave the host, for the status line.
    QString m_hostName;
    // The person at the host is asked first: until its hello, the status says so.
    bool m_awaitingAccept = false;
    SessionFeatures m_peerFeatures;
    // The pointer buttons the user's input holds pressed on the host, as the host counts them
    // (button 1 the right, any other the left): a move while none is held is hovering.
    PointerButtons m_heldButtons;
    // The host's pointer as last published.
    RemotePointer m_pointer;
    std::unique_ptr<InputQueue> m_input;
    // An encrypted session's channel, shared with its input queue (which may outlive the session
    // to drain); null for a plain session.
    std::shared_ptr<SessionSeal> m_seal;
    // Where the polls go on from once the exchange read its own frames.
    qint64 m_sinceAfterOpen = 0;
    bool m_sealFailed = false;
};
