// The viewer against the real switchboard (node cloud/server.mjs on a free loopback port),
// with the host's side played by the test through its own request transport.
#include "SwitchboardProcess.h"
#include "TestPictures.h"

#include "Base64.h"
#include "KivrenAPI.h"
#include "KivrenClient.h"
#include "SessionProtocol.h"
#include "SwitchboardRequests.h"
#include "SettingsStore.h"
#include "ViewerSession.h"

#include <QJsonArray>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

#include <QCoroTask>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

const QString hostId = QStringLiteral("123456789");
const QString hostPassword = QStringLiteral("ABCD-EFGH");

// The host's half of a session, one request at a time.
class ScriptedHost
{
public:
    explicit ScriptedHost(const QString &origin)
        : m_api(origin)
    {
    }

    KivrenAnswer post(const QString &path, const QJsonObject &body) { return QCoro::waitFor(m_api.post(path, body)); }

    bool registerAndBeat()
    {
        const QJsonObject registration{{"id", hostId},       {"name", "Studio Mac"},  {"platform", "macos"},
                                       {"password", hostPassword}, {"hostToken", m_hostToken}, {"unattended", true}};
        return post(QStringLiteral("register"), registration).ok() && heartbeat().ok();
    }

    KivrenAnswer heartbeat() { return post(QStringLiteral("heartbeat"), {{"id", hostId}, {"hostToken", m_hostToken}}); }

    // Heartbeat until the viewer's session is pending, then claim it.
    bool claimPending()
    {
        const QJsonObject pending = heartbeat().object.value("pending").toObject();
        sessionId = pending.value("sessionId").toString();
        token = pending.value("sessionToken").toString();
        clientName = pending.value("clientName").toString();
        return !sessionId.isEmpty()
            && post(QStringLiteral("claim"), {{"sessionId", sessionId}, {"sessionToken", token}}).ok();
    }

    bool push(const QString &kind, const QByteArray &bytes)
    {
        const QByteArray body =
            SwitchboardRequests::toBytes({{sessionId, token}, SessionProtocol::Role::host, {kind, Base64::encode(bytes)}});
        return QCoro::waitFor(m_api.postBytes(QStringLiteral("push"), body)).ok();
    }

    // Polls until `count` json messages have come from the viewer (or time runs out).
    QList<QJsonObject> messages(int count)
    {
        QList<QJsonObject> received;
        (void)QTest::qWaitFor(
            [&] {
                const KivrenAnswer answer = post(QStringLiteral("poll"),
                                                 SwitchboardRequests::toJson(SwitchboardRequests::Poll{{sessionId, token}, SessionProtocol::Role::host, 0}));
                for (const SessionProtocol::Frame &frame : SessionProtocol::decodeFrames(answer.object)) {
                    if (frame.message)
                        received.append(*frame.message);
                }
                return received.size() >= count;
            },
            10000);
        return received;
    }

    QString sessionId;
    QString token;
    QString clientName;

private:
    KivrenAPI m_api;
    QString m_hostToken = QStringLiteral("ab").repeated(24);
};

class KivrenClientSwitchboard : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(switchboard.running());
        store = std::make_unique<SettingsStore>(dir.filePath(QStringLiteral("settings.ini")));
        store->setText(KivrenClient::cloudKey, switchboard.origin() + QStringLiteral("/"));
        client = std::make_unique<KivrenClient>(*store, QStringLiteral("Test Mac"));
        QObject::connect(client.get(), &KivrenClient::statusChanged, [this](const QString &s) { statuses << s; });
    }

    void TearDown() override
    {
        client.reset();
        QTest::qWait(20);
    }

    void connectTo(const QString &password = QStringLiteral("abcd efgh"))
    {
        client->setRemoteId(QStringLiteral("123-456-789"));
        client->setRemotePassword(password);
        client->connectToRemote();
    }

    bool waitFor(const std::function<bool()> &condition) { return QTest::qWaitFor(condition, 10000); }
    bool waitForPhase(SessionPhase phase) { return waitFor([&] { return client->phase() == phase; }); }

    SwitchboardProcess switchboard;
    QTemporaryDir dir;
    std::unique_ptr<SettingsStore> store;
    std::unique_ptr<KivrenClient> client;
    ScriptedHost host{switchboard.origin()};
    QStringList statuses;
};

TEST_F(KivrenClientSwitchboard, Session_PicturesInInputOutCloseAtTheEnd)
{
    ASSERT_TRUE(host.registerAndBeat());
    connectTo();
    ASSERT_TRUE(waitForPhase(SessionPhase::live));
    // The hints that followed the typing, then the session's own lines.
    EXPECT_EQ(statuses, (QStringList{QStringLiteral("Now enter the password shown on that computer"),
                                     QStringLiteral("Press Enter or Connect"), QStringLiteral("Looking for 123 456 789\u2026"),
                                     QStringLiteral("Checking the password\u2026"), QStringLiteral("Connected to Studio Mac")}));
    EXPECT_EQ(client->hostName(), QStringLiteral("Studio Mac"));
    EXPECT_EQ(client->book().value(0).id, hostId);

    // Host to viewer: the hello size and a picture.
    ASSERT_TRUE(host.claimPending());
    EXPECT_EQ(host.clientName, QStringLiteral("Test Mac"));
    const QJsonObject hello{{"type", "hello"}, {"width", 1440}, {"height", 900}, {"platform", "macos"}};
    ASSERT_TRUE(host.push(QStringLiteral("json"), QJsonDocument(hello).toJson(QJsonDocument::Compact)));
    ASSERT_TRUE(host.push(QStringLiteral("jpeg"), TestPictures::jpeg({160, 100}, Qt::darkGreen)));
    ASSERT_TRUE(waitFor([&] { return client->frame().size() == QSize(160, 100); }));
    EXPECT_EQ(client->remoteSize(), QSizeF(1440, 900));
    const QRgb centre = client->frame().pixel(80, 50);
    EXPECT_NEAR(qGreen(centre), QColor(Qt::darkGreen).green(), 8);

    // Viewer to host: a press, a drag and a release, in order, each with all eight members. The
    // drag's two moves, made while the press is on its way, go out as the newest one.
    const RemoteInput press{RemoteInput::Kind::down, 0.1, 0.2, 0, 1, 0, 0, {}};
    const RemoteInput firstMove{RemoteInput::Kind::move, 0.3, 0.4, 0, 1, 0, 0, {}};
    const QList<RemoteInput> events{
        press,
        {RemoteInput::Kind::move, 0.5, 0.6, 0, 1, 0, 0, {}},
        {RemoteInput::Kind::up, 0.5, 0.6, 0, 1, 0, 0, {}},
        {RemoteInput::Kind::wheel, 1, 0, 0, 1, 0, -120, {}},
    };
    client->send(press);
    client->send(firstMove);
    for (const RemoteInput &event : events.mid(1))
        client->send(event);
    // The viewer's answer to the hello comes first: the changed areas and the pointer it can draw.
    const QList<QJsonObject> received = host.messages(events.size() + 1);
    ASSERT_EQ(received.size(), events.size() + 1);
    EXPECT_EQ(received[0], (QJsonObject{{"type", "caps"}, {"features", QJsonArray{"cursor", "tiles"}}}));
    for (qsizetype i = 0; i < events.size(); ++i) {
        const RemoteInput &e = events[i];
        EXPECT_EQ(received[i + 1], (QJsonObject{{"type", "input"}, {"kind", rawText(e.kind)}, {"x", e.x}, {"y", e.y},
                                            {"button", qint64(e.button)}, {"clickCount", qint64(e.clickCount)},
                                            {"deltaX", e.deltaX}, {"deltaY", e.deltaY}}))
            << "message " << i;
    }

    // The end: the host is told to close.
    client->disconnectFromRemote();
    EXPECT_EQ(client->phase(), SessionPhase::idle);
    EXPECT_EQ(client->status(), QStringLiteral("Disconnected"));
    EXPECT_TRUE(client->frame().isNull());
    const QList<QJsonObject> closing = host.messages(1);
    ASSERT_EQ(closing.size(), 1);
    EXPECT_EQ(closing[0], (QJsonObject{{"type", "close"}}));
}

TEST_F(KivrenClientSwitchboard, Session_EndedByTheSwitchboard_FailsWithItsText)
{
    ASSERT_TRUE(host.registerAndBeat());
    connectTo();
    ASSERT_TRUE(waitForPhase(SessionPhase::live));
    ASSERT_TRUE(host.claimPending());
    // The session ends behind the viewer's back: its next poll is refused.
    ASSERT_TRUE(host.post(QStringLiteral("close"), {{"sessionId", host.sessionId}, {"token", host.token}}).ok());
    ASSERT_TRUE(waitForPhase(SessionPhase::failed));
    EXPECT_EQ(client->status(), QStringLiteral("The session has ended"));
    EXPECT_EQ(client->error(), std::optional<QString>(QStringLiteral("The session has ended")));
}

// A host frozen mid-session (stopped with SIGSTOP: not one request more) is reported within 5 s,
// by the real switchboard's quiet time, over the last picture greyed; once it is heard again the
// session goes on by itself.
TEST_F(KivrenClientSwitchboard, HostFrozen_NotAnsweringWithin5s_ThenGoesOn)
{
    ASSERT_TRUE(host.registerAndBeat());
    connectTo();
    ASSERT_TRUE(waitForPhase(SessionPhase::live));
    ASSERT_TRUE(host.claimPending());
    const QJsonObject hello{{"type", "hello"}, {"width", 1440}, {"height", 900}, {"platform", "macos"}};
    ASSERT_TRUE(host.push(QStringLiteral("json"), QJsonDocument(hello).toJson(QJsonDocument::Compact)));
    ASSERT_TRUE(host.push(QStringLiteral("jpeg"), TestPictures::jpeg({160, 100}, Qt::darkGreen)));
    ASSERT_TRUE(waitFor([&] { return client->frame().size() == QSize(160, 100); }));
    const QString live = client->status();

    // Frozen: from here the host sends nothing.
    QElapsedTimer frozen;
    frozen.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return client->pictureStale(); }, 8000));
    EXPECT_LT(frozen.elapsed(), 5000);
    EXPECT_EQ(client->status(), ViewerSession::notAnsweringStatus);
    EXPECT_FALSE(client->frame().isNull());
    EXPECT_EQ(client->phase(), SessionPhase::live);

    // Thawed once the viewer's next poll is held (a poll that arrives while the host is quiet is
    // answered as soon as it is heard again): heartbeats, as its registration loop sends them.
    QTest::qWait(1000);
    ASSERT_TRUE(waitFor([&] { return host.heartbeat().ok() && !client->pictureStale(); }))
        << statuses.join(u'|').toStdString();
    EXPECT_EQ(client->status(), live);
    EXPECT_EQ(client->phase(), SessionPhase::live);
}

struct Refusal
{
    const char *name;
    bool registered;
    bool beating;
    const char *password;
    const char *text;

    friend void PrintTo(const Refusal &r, std::ostream *os) { *os << r.name; }
};

class KivrenClientSwitchboardRefusal : public KivrenClientSwitchboard, public ::testing::WithParamInterface<Refusal>
{
};

TEST_P(KivrenClientSwitchboardRefusal, Connect_RefusedWithTheText)
{
    const Refusal refusal = GetParam();
    if (refusal.registered) {
        ASSERT_TRUE(host.post(QStringLiteral("register"), {{"id", hostId},
                                                           {"password", hostPassword},
                                                           {"hostToken", QStringLiteral("cd").repeated(24)}})
                        .ok());
    }
    if (refusal.beating)
        ASSERT_TRUE(host.post(QStringLiteral("heartbeat"), {{"id", hostId}, {"hostToken", QStringLiteral("cd").repeated(24)}}).ok());
    connectTo(QString::fromUtf8(refusal.password));
    ASSERT_TRUE(waitForPhase(SessionPhase::failed));
    EXPECT_EQ(client->status(), QString::fromUtf8(refusal.text));
    EXPECT_EQ(client->error(), std::optional<QString>(QString::fromUtf8(refusal.text)));
    EXPECT_TRUE(client->book().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Table, KivrenClientSwitchboardRefusal,
                         ::testing::Values(Refusal{"UnknownId", false, false, "ABCD-EFGH", "No computer has this ID: check the ID"},
                                           Refusal{"Offline", true, false, "ABCD-EFGH", "That computer is not reachable now: KivrenRemote must be open on it"},
                                           Refusal{"WrongPassword", true, true, "ABCD-EFGX", "Wrong password: type the password that computer shows now"}),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
