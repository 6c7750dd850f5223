#include "KivrenClient.h"

#include "KivrenAPI.h"
#include "KivrenIds.h"
#include "LocalSwitchboard.h"
#include "PlatformWording.h"
#include "SessionProtocol.h"
#include "SettingsStore.h"
#include "SwitchboardRequests.h"
#include "ViewerWording.h"

#include <QDateTime>

#include <algorithm>

namespace {

// Sent even without a session: the switchboard simply refuses it. Answer and failure alike are
// of no interest.
StoppableTask<> postClose(KivrenAPI *api, SessionProtocol::SessionKeys keys, std::stop_token stop)
{
    co_await SwitchboardRequests::post(*api, SwitchboardRequests::Close{keys, {}}, std::move(stop));
}

} // namespace

QString KivrenClient::loopbackOrigin()
{
    return LocalSwitchboard::loopbackOrigin();
}

KivrenClient::KivrenClient(SettingsStore &settings, std::optional<QString> computerName, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_clientName(computerName && !computerName->isEmpty() ? *computerName : PlatformWording::computerNameFallback())
    , m_status(ViewerWording::idHint({}, {}, {}))
{
    m_cloudURL = m_settings.text(cloudKey).value_or(QString());
    // Without a saved address the transport still needs a base; cloudURL stays empty so a
    // connection attempt asks for the address instead of silently using this one.
    m_api = new KivrenAPI(m_cloudURL.isEmpty() ? loopbackOrigin() : m_cloudURL, this);
    loadBook();
}

// The session and the background tasks stop as their members go, while the transport is still
// alive: every request in flight is aborted, and the tasks waiting on them see the stop and end
// without touching this object.
KivrenClient::~KivrenClient() = default;

void KivrenClient::setCloudURL(const QString &text)
{
    if (m_cloudURL == text)
        return;
    m_cloudURL = text;
    emit cloudURLChanged(m_cloudURL);
}

void KivrenClient::setRemoteId(const QString &text)
{
    if (m_remoteId == text)
        return;
    m_remoteId = text;
    emit remoteIdChanged(m_remoteId);
    refreshHint();
}

void KivrenClient::setRemotePassword(const QString &text)
{
    if (m_remotePassword == text)
        return;
    m_remotePassword = text;
    emit remotePasswordChanged(m_remotePassword);
    refreshHint();
}

void KivrenClient::setOwnId(const QString &compactId)
{
    if (m_ownId == compactId)
        return;
    m_ownId = compactId;
    refreshHint();
}

void KivrenClient::refreshHint()
{
    // A failure's words give way to the hint once the person changes what is typed.
    if (m_phase != SessionPhase::idle && m_phase != SessionPhase::failed)
        return;
    setPhase(SessionPhase::idle);
    setStatus(ViewerWording::idHint(m_remoteId, m_remotePassword, m_ownId));
}

void KivrenClient::setPhase(SessionPhase phase)
{
    if (m_phase == phase)
        return;
    m_phase = phase;
    emit phaseChanged(m_phase);
}

void KivrenClient::setStatus(const QString &status)
{
    if (m_status == status)
        return;
    m_status = status;
    emit statusChanged(m_status);
}

void KivrenClient::setTransport(Transport transport)
{
    if (m_transport == transport)
        return;
    m_transport = transport;
    emit transportChanged(m_transport);
}

void KivrenClient::setHostName(const QString &name)
{
    if (m_hostName == name)
        return;
    m_hostName = name;
    emit hostNameChanged(m_hostName);
}

void KivrenClient::setFrame(const QImage &frame, const QRegion &changed)
{
    // Every decoded picture is news; comparing pixels would cost more than the decode.
    if (frame.isNull() && m_frame.isNull())
        return;
    m_frame = frame;
    emit frameChanged(m_frame);
    emit frameRedrawn(m_frame, m_frame.isNull() ? QRegion() : changed);
}

void KivrenClient::setRemoteSize(const QSizeF &size)
{
    if (m_remoteSize == size)
        return;
    m_remoteSize = size;
    emit remoteSizeChanged(m_remoteSize);
}

void KivrenClient::setRemotePointer(const RemotePointer &pointer)
{
    if (m_remotePointer == pointer)
        return;
    m_remotePointer = pointer;
    emit remotePointerChanged(m_remotePointer);
}

void KivrenClient::setPictureStale(bool stale)
{
    if (m_pictureStale == stale)
        return;
    m_pictureStale = stale;
    emit pictureStaleChanged(m_pictureStale);
}

void KivrenClient::setError(const std::optional<QString> &error)
{
    if (m_error == error)
        return;
    m_error = error;
    emit errorChanged(m_error);
}

void KivrenClient::setBook(const QList<BookEntry> &book)
{
    if (m_book == book)
        return;
    m_book = book;
    emit bookChanged(m_book);
}

void KivrenClient::connectToRemote()
{
    // What was typed, in compact and display form.
    const QString id = KivrenIds::compactId(m_remoteId);
    const QString password = KivrenIds::formatPassword(m_remotePassword);

    // Bad input only changes the status line; a running session goes on.
    if (const QString refused = ViewerWording::refusal(id, KivrenIds::compactPassword(password), m_ownId);
        !refused.isEmpty()) {
        setStatus(refused);
        return;
    }

    // The session before ends silently, but its host must not go on streaming to nobody until
    // the switchboard drops the session: it is closed first, after the key releases its input
    // queue still holds.
    const SessionProtocol::SessionKeys previous = m_session ? m_session->keys() : SessionProtocol::SessionKeys{};
    std::unique_ptr<InputQueue> previousInput = m_session ? m_session->takeInput() : nullptr;
    m_session.reset();
    if (previousInput)
        drain(std::move(previousInput));
    else if (!previous.id.isEmpty() || !previous.token.isEmpty())
        startClose(previous);

    setPhase(SessionPhase::connecting);
    setStatus(ViewerWording::lookingUp(KivrenIds::formatId(id)));
    setError(std::nullopt);
    // The last session's picture would pass for this one's until the host sends its own.
    setFrame(QImage(), QRegion());
    setRemotePointer({});
    setPictureStale(false);
    setEncrypted(false);

    ViewerSession::Options session;
    session.api = m_api;
    session.listener = this;
    session.clientName = m_clientName;
    session.id = id;
    session.password = password;
    session.worker = &m_decoding;
    for (const BookEntry &entry : std::as_const(m_book)) {
        if (entry.id == id) {
            session.deviceToken = entry.deviceToken;
            session.requireEncrypted = entry.encrypted;
        }
    }
    session.pushLifetime = m_background.token();
    m_session.start(std::move(session));
}

void KivrenClient::send(const RemoteInput &input)
{
    sendMessage(SessionProtocol::Input{input});
}

void KivrenClient::sendKey(const SessionProtocol::Key &key)
{
    sendMessage(key);
}

void KivrenClient::sendText(const QString &text)
{
    sendMessage(SessionProtocol::Text{text});
}

void KivrenClient::sendMessage(SessionProtocol::ViewerMessage message)
{
    if (m_phase != SessionPhase::live)
        return;
    if (ViewerSession *session = m_session.get())
        session->send(std::move(message));
}

void KivrenClient::disconnectFromRemote()
{
    const SessionProtocol::SessionKeys keys = m_session ? m_session->keys() : SessionProtocol::SessionKeys{};
    std::unique_ptr<InputQueue> input = m_session ? m_session->takeInput() : nullptr;
    m_session.reset();
    setPhase(SessionPhase::idle);
    setStatus(ViewerWording::ended());
    setFrame(QImage(), QRegion());
    setRemotePointer({});
    setPictureStale(false);
    // A live session's queue closes it after what it still holds; any other session (one that
    // never opened) is closed at once.
    if (input)
        drain(std::move(input));
    else
        startClose(keys);
}

void KivrenClient::drain(std::unique_ptr<InputQueue> input)
{
    input->closeAfterDrain();
    // The queues of earlier sessions that are done by now go.
    std::erase_if(m_endedInputs, [](const std::unique_ptr<InputQueue> &ended) { return ended->finished(); });
    if (!input->finished())
        m_endedInputs.push_back(std::move(input));
}

void KivrenClient::startClose(const SessionProtocol::SessionKeys &keys)
{
    m_background.start([this, &keys](std::stop_token stop) { return postClose(m_api, keys, std::move(stop)); });
}

void KivrenClient::setCloud(const QString &text)
{
    // White space first, then slashes: " http://host/ " loses all three.
    QString value = text.trimmed();
    qsizetype begin = 0;
    qsizetype end = value.size();
    while (begin < end && value.at(begin) == u'/')
        ++begin;
    while (end > begin && value.at(end - 1) == u'/')
        --end;
    value = value.mid(begin, end - begin);

    // An empty address is stored as empty text, not removed.
    setCloudURL(value);
    m_settings.setText(cloudKey, value);
    m_api->setBase(value);
}

void KivrenClient::setEncrypted(bool encrypted)
{
    if (m_encrypted == encrypted)
        return;
    m_encrypted = encrypted;
    emit encryptedChanged(m_encrypted);
}

void KivrenClient::remember(const QString &id, const QString &name, const QString &deviceToken)
{
    // The newest first, each machine once, the oldest falling off the end. A connect answer
    // without a token leaves the one kept before.
    QList<BookEntry> entries = m_book;
    // A name the person gave stays.
    QString token = deviceToken;
    QString shownName = name;
    bool renamed = false;
    // Once reached encrypted, always expected so.
    bool encrypted = m_encrypted;
    for (const BookEntry &entry : std::as_const(entries)) {
        if (entry.id != id)
            continue;
        encrypted = encrypted || entry.encrypted;
        if (token.isEmpty())
            token = entry.deviceToken;
        if (entry.renamed) {
            shownName = entry.name;
            renamed = true;
        }
    }
    entries.removeIf([&id](const BookEntry &entry) { return entry.id == id; });
    entries.prepend(BookEntry{id, shownName, QDateTime::currentDateTimeUtc(), token, renamed, encrypted});
    if (entries.size() > bookLimit)
        entries.resize(bookLimit);
    setBook(entries);
    storeBook();
}

void KivrenClient::storeBook()
{
    m_settings.setBytes(bookKey, BookEntry::encodeList(m_book));
}

bool KivrenClient::renameBookEntry(const QString &id, const QString &name)
{
    const QString given = name.trimmed();
    if (given.isEmpty())
        return false;
    QList<BookEntry> entries = m_book;
    bool found = false;
    for (BookEntry &entry : entries) {
        if (entry.id == id && (entry.name != given || !entry.renamed)) {
            entry.name = given;
            entry.renamed = true;
            found = true;
        }
    }
    if (!found)
        return false;
    setBook(entries);
    storeBook();
    return true;
}

bool KivrenClient::removeBookEntry(const QString &id)
{
    QList<BookEntry> entries = m_book;
    if (entries.removeIf([&id](const BookEntry &entry) { return entry.id == id; }) == 0)
        return false;
    setBook(entries);
    storeBook();
    return true;
}

bool KivrenClient::openBookEntry(const QString &id)
{
    const auto entry = std::find_if(m_book.cbegin(), m_book.cend(), [&id](const BookEntry &e) { return e.id == id; });
    if (entry == m_book.cend())
        return false;
    const QString name = entry->name;
    if (KivrenIds::compactId(m_remoteId) != id)
        setRemotePassword(QString());
    setRemoteId(KivrenIds::formatId(id));
    if (KivrenIds::characterCount(KivrenIds::compactPassword(m_remotePassword)) == 8) {
        connectToRemote();
        return true;
    }
    if (m_phase == SessionPhase::idle)
        setStatus(ViewerWording::passwordFor(name));
    return false;
}

void KivrenClient::loadBook()
{
    // A stored book that does not decode is left in place for the next remember to replace.
    const std::optional<QByteArray> stored = m_settings.bytes(bookKey);
    if (!stored)
        return;
    if (auto entries = BookEntry::decodeList(*stored))
        m_book = std::move(*entries);
}
