// An encrypted session end to end: this program's host (the service, with a fake desktop) and its
// desktop viewer (KivrenClient) through the real switchboard, with a recording proxy between the
// viewer and the switchboard where a tunnel's edge would stand. The proxy sees every byte the
// viewer sends and receives; it may also change one on its way to the viewer.
#include "MacHostServiceFakes.h"
#include "SwitchboardProcess.h"

#include "Base64.h"
#include "KivrenAPI.h"
#include "KivrenClient.h"
#include "KivrenIds.h"
#include "MacInput.h"
#include "SessionProtocol.h"
#include "SessionSeal.h"
#include "SettingsStore.h"
#include "SwitchboardRequests.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <QCoroTask>

#include <gtest/gtest.h>

#include <functional>
#include <utility>
#include <memory>

namespace {

// Forwards every connection to the switchboard and records what passes, both ways.
class RecordingProxy
{
public:
    explicit RecordingProxy(quint16 target)
        : m_target(target)
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket *client = m_server.nextPendingConnection())
                forward(client);
        });
    }

    QString origin() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort()); }

    QByteArray recorded;
    // Changes what the switchboard sends towards the viewer, chunk by chunk, before it goes on.
    std::function<void(QByteArray &)> towardViewer;

private:
    void forward(QTcpSocket *client)
    {
        auto *board = new QTcpSocket(client);
        board->connectToHost(QHostAddress::LocalHost, m_target);
        QObject::connect(client, &QTcpSocket::readyRead, board, [this, client, board] {
            const QByteArray bytes = client->readAll();
            recorded += bytes;
            board->write(bytes);
        });
        QObject::connect(board, &QTcpSocket::readyRead, client, [this, client, board] {
            QByteArray bytes = board->readAll();
            if (towardViewer)
                towardViewer(bytes);
            recorded += bytes;
            client->write(bytes);
        });
        QObject::connect(board, &QTcpSocket::disconnected, client, &QTcpSocket::disconnectFromHost);
        QObject::connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
    }

    quint16 m_target;
    QTcpServer m_server;
};

// The ways `secret` may show in recorded bytes: as it is, and in base64 at each of the three
// alignments it can start at (the characters that depend on it alone).
QList<QByteArray> traces(const QByteArray &secret)
{
    QList<QByteArray> found{secret};
    for (int offset = 0; offset < 3; ++offset) {
        const QByteArray encoded = Base64::encode(QByteArray(offset, '\0') + secret);
        // The characters that mix in the padding before it, or whatever follows, are left out.
        const qsizetype from = offset == 0 ? 0 : (offset * 8 + 5) / 6;
        const qsizetype to = (qsizetype(offset + secret.size()) * 8) / 6;
        found.append(encoded.mid(from, to - from));
    }
    return found;
}

// Which of the secrets leave a trace in `recorded`.
QStringList tracesIn(const QByteArray &recorded, const QList<std::pair<QString, QByteArray>> &secrets)
{
    QStringList shown;
    for (const auto &[name, secret] : secrets) {
        for (const QByteArray &trace : traces(secret)) {
            if (recorded.contains(trace)) {
                shown << name;
                break;
            }
        }
    }
    return shown;
}

const QByteArray typed = "a sentence typed on the remote machine";

// A viewer that speaks the protocol as it was before encryption: the password in its connect.
class PlainViewer
{
public:
    explicit PlainViewer(const QString &origin)
        : m_api(origin)
    {
    }

    KivrenAnswer post(const QString &path, const QJsonObject &body) { return QCoro::waitFor(m_api.post(path, body)); }

    bool connect(const QString &id, const QString &password)
    {
        const KivrenAnswer opened =
            post(QStringLiteral("connect"), {{"id", id}, {"password", password}, {"clientName", "Old phone"}, {"clientPlatform", "ios"}});
        keys = {opened.object.value("sessionId").toString(), opened.object.value("sessionToken").toString()};
        return opened.ok();
    }

    bool pollUntilPicture()
    {
        return QTest::qWaitFor(
            [&] {
                const KivrenAnswer answer = post(QStringLiteral("poll"), SwitchboardRequests::toJson(SwitchboardRequests::Poll{
                                                                             keys, SessionProtocol::Role::viewer, m_since, std::nullopt}));
                m_since = answer.object.value("since").toInteger(m_since);
                for (const SessionProtocol::Frame &frame : SessionProtocol::decodeFrames(answer.object))
                    pictures += frame.kind == SessionProtocol::kindJpeg;
                return pictures > 0;
            },
            10000);
    }

    bool type(const QString &text)
    {
        const QByteArray body = SwitchboardRequests::toBytes(
            {keys, SessionProtocol::Role::viewer, SessionProtocol::encode(SessionProtocol::ViewerMessage{SessionProtocol::Text{text}})});
        return QCoro::waitFor(m_api.postBytes(QStringLiteral("push"), body)).ok();
    }

    SessionProtocol::SessionKeys keys;
    int pictures = 0;

private:
    KivrenAPI m_api;
    qint64 m_since = 0;
};

class EncryptedSession : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(switchboard.running());
        MacInput::setLeftDown(false);
        host = bench.make(switchboard.origin(), HostServiceBench::fastTiming(), key);
        ASSERT_TRUE(waitFor([&] { return host->status().startsWith(QStringLiteral("Waiting for an internet address")); }));
        store = std::make_unique<SettingsStore>(dir.filePath(QStringLiteral("viewer.ini")));
        store->setText(KivrenClient::cloudKey, proxy.origin());
        viewer = std::make_unique<KivrenClient>(*store, QStringLiteral("Test laptop"));
    }

    void TearDown() override
    {
        viewer.reset();
        host.reset();
        QTest::qWait(20);
        MacInput::setLeftDown(false);
    }

    static bool waitFor(const std::function<bool()> &condition) { return QTest::qWaitFor(condition, 15000); }

    // Everything typed on the host's desktop so far, joined (a long text is typed in slices).
    QString typedOnHost() const
    {
        QString all;
        const QString text = QStringLiteral("text ");
        for (const QString &event : bench.desktop.events) {
            if (event.startsWith(text))
                all += event.mid(text.size());
        }
        return all;
    }

    void connectViewer(const QString &password)
    {
        viewer->setRemoteId(KivrenIds::formatId(host->publicId()));
        viewer->setRemotePassword(password);
        viewer->connectToRemote();
    }

    // What must not cross the tunnel's edge in an encrypted session.
    QList<std::pair<QString, QByteArray>> secrets() const
    {
        const QByteArray password = host->password().toLatin1();
        return {
            {"password", password},
            {"compact password", QByteArray(password).replace('-', "")},
            {"JSON-escaped password", QByteArray(password).replace("-", "\\u002d")},
            {"JPEG start", QByteArray("\xff\xd8\xff", 3)},
            {"typed text", typed},
            {"screen width", QByteArray("\"width\":1512")},
            {"screen height", QByteArray("\"height\":982")},
        };
    }

    HostKey key = HostKey::generate();
    SwitchboardProcess switchboard{key.environmentValue()};
    RecordingProxy proxy{switchboard.port()};
    HostServiceBench bench;
    std::unique_ptr<MacHostService> host;
    QTemporaryDir dir;
    std::unique_ptr<SettingsStore> store;
    std::unique_ptr<KivrenClient> viewer;
};

TEST_F(EncryptedSession, Recorded_NothingOfTheSessionShows_PlainSessionShowsAll)
{
    connectViewer(host->password().toLower());
    ASSERT_TRUE(waitFor([&] { return !viewer->frame().isNull(); })) << viewer->status().toStdString();
    EXPECT_TRUE(viewer->encrypted());
    EXPECT_TRUE(host->encrypted());
    EXPECT_TRUE(host->status().endsWith(QStringLiteral("\u00B7 Encrypted"))) << host->status().toStdString();
    EXPECT_EQ(viewer->remoteSize(), QSizeF(1512, 982));
    viewer->sendText(QString::fromLatin1(typed));
    ASSERT_TRUE(waitFor([&] { return typedOnHost().count(QString::fromLatin1(typed)) == 1; }));
    // The address book remembers that this ID was reached encrypted.
    ASSERT_FALSE(viewer->book().isEmpty());
    EXPECT_TRUE(viewer->book().first().encrypted);
    viewer->disconnectFromRemote();
    ASSERT_TRUE(waitFor([&] { return !host->live(); }));

    EXPECT_EQ(tracesIn(proxy.recorded, secrets()), QStringList());
    EXPECT_TRUE(proxy.recorded.contains("\"kind\":\"sealed-jpeg\""));

    // The same proxy, a viewer of today: every one of them shows.
    proxy.recorded.clear();
    PlainViewer old(proxy.origin());
    ASSERT_TRUE(old.connect(host->publicId(), host->password()));
    ASSERT_TRUE(old.pollUntilPicture());
    EXPECT_TRUE(host->status().endsWith(QStringLiteral("\u00B7 Not encrypted"))) << host->status().toStdString();
    ASSERT_TRUE(old.type(QString::fromLatin1(typed)));
    ASSERT_TRUE(waitFor([&] { return typedOnHost().count(QString::fromLatin1(typed)) == 2; }));
    EXPECT_EQ(tracesIn(proxy.recorded, secrets()),
              (QStringList{"password", "JPEG start", "typed text", "screen width", "screen height"}));
}

TEST_F(EncryptedSession, WrongPassword_EndsAfterOneExchange)
{
    connectViewer(QStringLiteral("ZZZZ-ZZZZ"));
    ASSERT_TRUE(waitFor([&] { return viewer->phase() == SessionPhase::failed; }));
    EXPECT_EQ(viewer->status(), QStringLiteral("Wrong password: type the password that computer shows now"));
    // One opening message went out and no sealed frame ever came.
    EXPECT_FALSE(proxy.recorded.contains("sealed-"));
    EXPECT_TRUE(viewer->frame().isNull());
    ASSERT_TRUE(waitFor([&] { return !host->live(); }));
    // Only this host could tell the password was wrong: its log says so.
    ASSERT_TRUE(waitFor([&] { return !host->attempts().isEmpty(); }));
    EXPECT_EQ(host->attempts().last().outcome, AttemptLog::Outcome::wrongPassword);
}

TEST_F(EncryptedSession, FlippedBitTowardTheViewer_EndsWithTheReasonAndNothingDrawn)
{
    bool flipped = false;
    const QByteArray sealedJson = "\"kind\":\"sealed-json\",\"payload\":\"";
    // Where the bit to flip lies, counted from the start of the next chunk, when an answer's
    // frame head and its payload came in chunks of their own.
    qsizetype pending = -1;
    proxy.towardViewer = [&](QByteArray &bytes) {
        const auto flip = [&](qsizetype at) {
            bytes[at] = bytes[at] == 'A' ? 'B' : 'A';
            flipped = true;
        };
        if (pending >= 0) {
            if (pending < bytes.size())
                flip(std::exchange(pending, -1));
            else
                pending -= bytes.size();
        }
        // Every time: the exchange reads the answer that may hold the hello once, the session again.
        const qsizetype at = bytes.indexOf(sealedJson);
        if (at < 0)
            return;
        // Past the header, in the ciphertext of the host's hello.
        const qsizetype inside = at + sealedJson.size() + 30;
        if (inside < bytes.size())
            flip(inside);
        else
            pending = inside - bytes.size();
    };
    connectViewer(host->password());
    ASSERT_TRUE(waitFor([&] { return viewer->phase() == SessionPhase::failed; })) << viewer->status().toStdString();
    EXPECT_TRUE(flipped);
    EXPECT_EQ(viewer->status(), SessionSeal::failedCheckReason);
    EXPECT_TRUE(viewer->frame().isNull());
    // The hello never took effect: the size is still the one before any host's.
    EXPECT_NE(viewer->remoteSize(), QSizeF(1512, 982));
    // The host hears of it and ends its side.
    ASSERT_TRUE(waitFor([&] { return !host->live(); }));
}

TEST_F(EncryptedSession, ReachedEncryptedBefore_PlainLookupRefusedWithoutSendingThePassword)
{
    connectViewer(host->password());
    ASSERT_TRUE(waitFor([&] { return viewer->encrypted() && !viewer->frame().isNull(); }));
    viewer->disconnectFromRemote();
    ASSERT_TRUE(waitFor([&] { return !host->live(); }));

    // An edge that strikes the addition from the lookup answer.
    proxy.towardViewer = [](QByteArray &bytes) { bytes.replace(",\"features\":[\"e2e\"]", QByteArray(19, ' ')); };
    proxy.recorded.clear();
    connectViewer(host->password());
    ASSERT_TRUE(waitFor([&] { return viewer->phase() == SessionPhase::failed; }));
    EXPECT_EQ(viewer->status(), ViewerSession::plainRefusedReason);
    EXPECT_FALSE(proxy.recorded.contains("/v1/connect"));
    EXPECT_EQ(tracesIn(proxy.recorded, secrets()), QStringList());
}

} // namespace
