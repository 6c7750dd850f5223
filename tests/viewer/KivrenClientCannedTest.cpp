// The viewer against a switchboard that answers with canned JSON: the answers the real one
// never gives, failures on demand, and requests held open to cancel them.
#include "CannedSwitchboard.h"
#include "TestPictures.h"

#include "Base64.h"
#include "KivrenAPI.h"
#include "KivrenClient.h"
#include "PollPacing.h"
#include "SettingsStore.h"
#include "SwitchboardRequests.h"
#include "ViewerSession.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>

namespace {

const QString connectedDesk = QStringLiteral("Connected to Desk PC");

QJsonObject frame(const QString &kind, const QByteArray &base64)
{
    return {{QStringLiteral("kind"), kind}, {QStringLiteral("payload"), QString::fromLatin1(base64)}};
}

QJsonObject jsonFrame(const QJsonObject &message)
{
    return frame(QStringLiteral("json"), Base64::encode(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

QJsonObject jpegFrame(QSize size)
{
    return frame(QStringLiteral("jpeg"), Base64::encode(TestPictures::jpeg(size, Qt::darkCyan)));
}

QJsonObject decodedPayload(const QJsonObject &pushBody)
{
    const auto bytes = Base64::decodeStrict(pushBody.value(QStringLiteral("payload")).toString().toLatin1());
    return bytes ? QJsonDocument::fromJson(*bytes).object() : QJsonObject{};
}

class ViewerFixture
{
protected:
    ViewerFixture()
        : store(std::make_unique<SettingsStore>(dir.filePath(QStringLiteral("settings.ini"))))
    {
        store->setText(KivrenClient::cloudKey, board.origin());
        board.setReply(QStringLiteral("lookup"), {{"found", true}, {"online", true}, {"name", "Desk PC"}});
        board.setReply(QStringLiteral("connect"), {{"sessionId", "s1"}, {"sessionToken", "t1"}, {"transport", "relay"}});
        board.setReply(QStringLiteral("poll"), {{"frames", QJsonArray{}}, {"since", 0}});
        client = std::make_unique<KivrenClient>(*store, QStringLiteral("Test Mac"));
    }

    // Cancelled requests end on a later pass of the event loop: let them, so their tasks
    // finish before the test does.
    ~ViewerFixture()
    {
        client.reset();
        QTest::qWait(20);
    }

    void connectTo(const QString &id = QStringLiteral("123456789"), const QString &password = QStringLiteral("ABCD-EFGH"))
    {
        client->setRemoteId(id);
        client->setRemotePassword(password);
        client->connectToRemote();
    }

    static bool waitFor(const std::function<bool()> &condition) { return QTest::qWaitFor(condition, 10000); }
    bool waitForPhase(SessionPhase phase) { return waitFor([&] { return client->phase() == phase; }); }

    QTemporaryDir dir;
    CannedSwitchboard board;
    std::unique_ptr<SettingsStore> store;
    std::unique_ptr<KivrenClient> client;
};

class KivrenClientTest : public ViewerFixture, public ::testing::Test
{
};

TEST_F(KivrenClientTest, Construction_PublishesInitialValues_SettersNotifyOnlyOnChange)
{
    EXPECT_EQ(client->property("status").toString(), QStringLiteral("Enter the ID shown on the other computer"));
    EXPECT_EQ(client->property("phase").value<SessionPhase>(), SessionPhase::idle);
    EXPECT_EQ(client->property("transport").value<Transport>(), Transport::relay);
    EXPECT_EQ(client->property("remoteSize").toSizeF(), QSizeF(1280, 720));
    EXPECT_TRUE(client->frame().isNull());
    EXPECT_FALSE(client->error().has_value());
    EXPECT_EQ(client->cloudURL(), board.origin());

    QStringList seen;
    QObject::connect(client.get(), &KivrenClient::remoteIdChanged, [&](const QString &t) { seen << "id " + t; });
    QObject::connect(client.get(), &KivrenClient::remotePasswordChanged, [&](const QString &t) { seen << "pw " + t; });
    QObject::connect(client.get(), &KivrenClient::cloudURLChanged, [&](const QString &t) { seen << "cloud " + t; });
    for (int i = 0; i < 2; ++i) {
        client->setRemoteId(QStringLiteral("123"));
        client->setRemotePassword(QStringLiteral("AB"));
        client->setCloudURL(QStringLiteral("http://x"));
    }
    EXPECT_EQ(seen, (QStringList{"id 123", "pw AB", "cloud http://x"}));
    // Typing an address does not store it; saving does.
    EXPECT_EQ(store->text(KivrenClient::cloudKey), std::optional<QString>(board.origin()));
}

// --- Typed input -------------------------------------------------------------------------

struct BadInput
{
    const char *id;
    const char *password;
    const char *status;

    friend void PrintTo(const BadInput &b, std::ostream *os) { *os << '"' << b.id << "\" \"" << b.password << '"'; }
};

class KivrenClientInput : public ViewerFixture, public ::testing::TestWithParam<BadInput>
{
};

TEST_P(KivrenClientInput, Connect_RefusedWithoutChangingPhaseOrError)
{
    const BadInput input = GetParam();
    connectTo(QString::fromUtf8(input.id), QString::fromUtf8(input.password));
    EXPECT_EQ(client->status(), QString::fromUtf8(input.status));
    EXPECT_EQ(client->phase(), SessionPhase::idle);
    EXPECT_FALSE(client->error().has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Table, KivrenClientInput,
    ::testing::Values(BadInput{"12345678", "ABCD-EFGH", "Enter the 9-digit ID shown on the other computer"},
                      BadInput{"1234567890", "ABCD-EFGH", "Enter the 9-digit ID shown on the other computer"},
                      BadInput{"", "ABCD-EFGH", "Enter the 9-digit ID shown on the other computer"},
                      // O and 1 are not password characters: seven remain.
                      BadInput{"123 456 789", "abcd efO1g", "Enter the 8-character password shown on that computer"},
                      BadInput{"123 456 789", "", "Enter the 8-character password shown on that computer"}));

TEST_F(KivrenClientTest, Connect_SendsCompactIdAndDisplayPassword)
{
    QStringList statuses;
    QObject::connect(client.get(), &KivrenClient::statusChanged, [&](const QString &s) { statuses << s; });
    connectTo(QStringLiteral("123-456-789"), QStringLiteral("abcd efgh"));
    EXPECT_EQ(client->status(), QStringLiteral("Looking for 123 456 789\u2026"));
    ASSERT_TRUE(waitForPhase(SessionPhase::live));

    // The hints that followed the typing, then the session's own lines.
    EXPECT_EQ(statuses, (QStringList{QStringLiteral("Now enter the password shown on that computer"),
                                     QStringLiteral("Press Enter or Connect"), QStringLiteral("Looking for 123 456 789\u2026"),
                                     QStringLiteral("Checking the password\u2026"), connectedDesk}));
    const QJsonObject lookup = board.requests(QStringLiteral("lookup")).value(0).body;
    EXPECT_EQ(lookup, (QJsonObject{{"id", "123456789"}}));
    const QJsonObject opened = board.requests(QStringLiteral("connect")).value(0).body;
    EXPECT_EQ(opened, (QJsonObject{{"id", "123456789"}, {"password", "ABCD-EFGH"}, {"clientName", "Test Mac"}, {"clientPlatform", "macos"}}));
    EXPECT_EQ(client->hostName(), QStringLiteral("Desk PC"));

    // Bad input while live only changes the status line.
    client->setRemoteId(QStringLiteral("1234"));
    client->connectToRemote();
    EXPECT_EQ(client->status(), QStringLiteral("Enter the 9-digit ID shown on the other computer"));
    EXPECT_EQ(client->phase(), SessionPhase::live);
}

TEST_F(KivrenClientTest, Connect_WithoutComputerName_SendsTheFallbackName)
{
    client = std::make_unique<KivrenClient>(*store, std::nullopt);
    connectTo();
    ASSERT_TRUE(waitForPhase(SessionPhase::live));
    EXPECT_EQ(board.requests(QStringLiteral("connect")).value(0).body.value("clientName"), "Computer");
}

TEST_F(KivrenClientTest, Connect_WithoutCloudAddress_FailsBeforeAnyRequest)
{
    QTemporaryDir emptyDir;
    SettingsStore emptyStore(emptyDir.filePath(QStringLiteral("settings.ini")));
    client = std::make_unique<KivrenClient>(emptyStore, std::nullopt);
    EXPECT_EQ(client->api().base(), KivrenClient::loopbackOrigin());
    EXPECT_TRUE(client->cloudURL().isEmpty());

    connectTo();
    ASSERT_TRUE(waitForPhase(SessionPhase::failed));
    EXPECT_EQ(client->status(), QStringLiteral("Save the cloud address of the computer at home once, then connect."));
    EXPECT_FALSE(client->error().has_value());
    client.reset(); // before emptyStore goes
}

// --- Failures ----------------------------------------------------------------------------

struct Failure
{
    const char *name;
    const char *path;
    int status;
    const char *body;
    const char *text;

    friend void PrintTo(const Failure &f, std::ostream *os) { *os << f.name; }
};

class KivrenClientFailure : public ViewerFixture, public ::testing::TestWithParam<Failure>
{
};

TEST_P(KivrenClientFailure, Session_FailsWithTheErrorText)
{
    const Failure failure = GetParam();
    board.setReplies(QString::fromUtf8(failure.path), {{failure.status, failure.body}});
    connectTo();
    ASSERT_TRUE(waitForPhase(SessionPhase::failed));
    const QString text = QString::fromUtf8(failure.text);
    EXPECT_EQ(client->status(), text);
    EXPECT_EQ(client->error(), std::optional<QString>(text));
}

INSTANTIATE_TEST_SUITE_P(
    Table, KivrenClientFailure,
    ::testing::Values(Failure{"LookupWithoutFound", "lookup", 200, R"({"online":true})", "No computer has this ID: check the ID"},
                      Failure{"FoundAsText", "lookup", 200, R"({"found":"true","online":true})", "No computer has this ID: check the ID"},
                      Failure{"Offline", "lookup", 200, R"({"found":true,"online":false})", "That computer is not reachable now: KivrenRemote must be open on it"},
                      Failure{"LookupRefused", "lookup", 429, R"({"error":"Slow down"})", "Slow down"},
                      Failure{"LookupHtml", "lookup", 500, "<html>oops</html>", "HTTP 500"},
                      Failure{"WrongPassword", "connect", 401, R"({"error":"Wrong password"})",
                              "Wrong password: type the password that computer shows now"},
                      Failure{"PollRefused", "poll", 404, R"({"error":"Session not found"})", "The session is over: connect again"},
                      Failure{"HostClosed", "poll", 410, R"({"error":"KivrenRemote on that computer was closed"})",
                              "KivrenRemote on that computer was closed"}),
    [](const auto &info) { return std::string(info.param.name); });

// A host whose person is asked first: the connect answer says so, the status waits for the
// person until the host's hello, then says it is connected; refused, the host's reason shows.
TEST_F(KivrenClientTest, Session_HostAsksFirst_WaitsForThePersonThenConnects)
{
    board.setReply(QStringLiteral("connect"),
                   {{"sessionId", "s1"}, {"sessionToken", "t1"}, {"transport", "relay"}, {"unattended", false}});
    QStringList statuses;
    QObject::connect(client.get(), &KivrenClient::statusChanged, [&](const QString &s) { statuses << s; });
    connectTo();
    ASSERT_TRUE(waitForPhase(SessionPhase::live));
    EXPECT_EQ(client->status(), QStringLiteral("Waiting for the person at the other computer to accept"));
    EXPECT_FALSE(statuses.contains(connectedDesk));

    board.setReply(QStringLiteral("poll"),
                   {{"frames", QJsonArray{jsonFrame({{"type", "hello"}, {"width", 800}, {"height", 600}, {"platform", "macos"}})}},
                    {"since", 1}});
    ASSERT_TRUE(waitFor([&] { return client->status() == connectedDesk; }));

    // Refused by the person there: the next session ends with the host's reason.
    board.setReply(QStringLiteral("poll"), {{"frames", QJsonArray{}}, {"since", 0}});
    connectTo(QStringLiteral("987654321"));
    ASSERT_TRUE(waitFor([&] { return client->status() == QStringLiteral("Waiting for the person at the other computer to accept"); }));
    board.setReplies(QStringLiteral("poll"), {{410, R"({"error":"The person at that computer refused the connection"})"}});
    ASSERT_TRUE(waitForPhase(SessionPhase::failed));
    EXPECT_EQ(client->status(), QStringLiteral("The person at that computer refused the connection"));
}

TEST_F(KivrenClientTest, Session_AnswersWithoutOptionalMembers_KeepDefaults)
{
    // First session over LAN; the second's answers carry no name and no transport.
    board.setReplies(QStringLiteral("lookup"), {{200, R"({"found":true,"online":true,"name":"Desk PC"})"},
                                                {200, R"({"found":true,"online":true})"}});
    board.setReplies(QStringLiteral("connect"), {{200, R"({"sessionId":"s1","sessionToken":"t1","transport":"lan"})"},
                                                 {200, R"({"sessionId":"s2","sessionToken":"t2","transport":"carrier pigeon"})"}});
    connectTo();
    ASSERT_TRUE(waitForPhase(SessionPhase::live));
    EXPECT_EQ(client->status(), QStringLiteral("Connected to Desk PC"));

    QStringList statuses;
    QObject::connect(client.get(), &KivrenClient::statusChanged, [&](const QString &s) { statuses << s; });
    connectTo(QStringLiteral("987654321"));
    ASSERT_TRUE(waitFor([&] { return statuses.contains(QStringLiteral("Connected to Remote")); }));
    EXPECT_EQ(client->transport(), Transport::lan);
    EXPECT_EQ(client->hostName(), QStringLiteral("Remote"));
    EXPECT_EQ(client->book().value(0).id, QStringLiteral("987654321"));
    EXPECT_EQ(client->book().value(0).name, QStringLiteral("Remote"));

    // The newer session polls with its own credentials.
    ASSERT_TRUE(waitFor([&] {
        const auto polls = board.requests(QStringLiteral("poll"));
        return !polls.isEmpty() && polls.last().body.value("sessionId") == "s2";
    }));
}

// --- Poll answers ------------------------------------------------------------------------

struct PollCase
{
    const char *name;
    std::function<QJsonObject()> answer;
    qint64 nextSince;
    QSizeF remoteSize;
    QSize picture; // empty: no picture shown

    friend void PrintTo(const PollCase &c, std::ostream *os) { *os << c.name; }
};

class KivrenClientPoll : public ViewerFixture, public ::testing::TestWithParam<PollCase>
{
};

TEST_P(KivrenClientPoll, Answer_AppliedAsDecoded)
{
    const PollCase &c = GetParam();
    board.setReplies(QStringLiteral("poll"), {{200, QJsonDocument(c.answer()).toJson(QJsonDocument::Compact)}, {200, "{}"}});
    connectTo();
    // The second poll shows the cursor the first answer left, and that answer is applied by then.
    ASSERT_TRUE(waitFor([&] { return board.requests(QStringLiteral("poll")).size() >= 2; }));

    EXPECT_EQ(board.requests(QStringLiteral("poll")).value(0).body.value("since").toInteger(-1), 0);
    EXPECT_EQ(board.requests(QStringLiteral("poll")).value(1).body.value("since").toInteger(-1), c.nextSince);
    EXPECT_EQ(client->remoteSize(), c.remoteSize);
    EXPECT_EQ(client->frame().size(), c.picture.isEmpty() ? QImage().size() : c.picture);
    EXPECT_EQ(client->phase(), SessionPhase::live);
}

const QSizeF defaultSize(1280, 720);
const QJsonObject hello{{"type", "hello"}, {"width", 1920}, {"height", 1080}, {"platform", "macos"}};

INSTANTIATE_TEST_SUITE_P(
    Table, KivrenClientPoll,
    ::testing::Values(
        PollCase{"SinceWhole", [] { return QJsonObject{{"since", 17}}; }, 17, defaultSize, {}},
        PollCase{"SinceFraction", [] { return QJsonObject{{"since", 17.9}}; }, 17, defaultSize, {}},
        PollCase{"SinceText", [] { return QJsonObject{{"since", "17"}}; }, 0, defaultSize, {}},
        PollCase{"HelloThenPicture", [] { return QJsonObject{{"frames", QJsonArray{jsonFrame(hello), jpegFrame({64, 40})}}}; },
                 0, QSizeF(1920, 1080), QSize(64, 40)},
        PollCase{"PictureThenHello", [] { return QJsonObject{{"frames", QJsonArray{jpegFrame({64, 40}), jsonFrame(hello)}}}; },
                 0, QSizeF(1920, 1080), QSize(64, 40)},
        PollCase{"LastPictureStays",
                 [] { return QJsonObject{{"frames", QJsonArray{jpegFrame({64, 40}), jpegFrame({32, 16})}}}; }, 0, defaultSize,
                 QSize(32, 16)},
        PollCase{"BadFramesSkippedOthersApplied",
                 [] {
                     return QJsonObject{{"frames", QJsonArray{frame("jpeg", Base64::encode("not a jpeg")),
                                                              frame("jpeg", "@@@@"), jsonFrame({{"width", 800}}),
                                                              frame("json", Base64::encode("[1,2]")),
                                                              frame("png", Base64::encode("x")), jpegFrame({48, 24})}}};
                 },
                 0, defaultSize, QSize(48, 24)},
        PollCase{"JpegPayloadWithLineBreak",
                 [] {
                     QByteArray payload = Base64::encode(TestPictures::jpeg({64, 40}, Qt::red));
                     payload.insert(64, '\n');
                     return QJsonObject{{"frames", QJsonArray{frame("jpeg", payload)}}};
                 },
                 0, defaultSize, {}},
        PollCase{"FramesWithNonObject",
                 [] { return QJsonObject{{"since", 5}, {"frames", QJsonArray{jsonFrame(hello), jpegFrame({64, 40}), 7}}}; }, 5,
                 defaultSize, {}},
        PollCase{"WidthWithoutHeight", [] { return QJsonObject{{"frames", QJsonArray{jsonFrame({{"width", 1920}})}}}; }, 0,
                 defaultSize, {}},
        PollCase{"SizeAsText",
                 [] { return QJsonObject{{"frames", QJsonArray{jsonFrame({{"width", "1920"}, {"height", "1080"}})}}}; }, 0,
                 defaultSize, {}}),
    [](const auto &info) { return std::string(info.param.name); });

struct CursorCase
{
    const char *json; // the value of "since" as JSON text
    std::optional<qint64> cursor;

    friend void PrintTo(const CursorCase &c, std::ostream *os) { *os << c.json; }
};

class KivrenClientCursor : public ::testing::TestWithParam<CursorCase>
{
};

TEST_P(KivrenClientCursor, CursorFrom_TruncatesOrKeeps)
{
    const QByteArray text = QByteArray("{\"since\":") + GetParam().json + "}";
    const QJsonValue since = QJsonDocument::fromJson(text).object().value(QStringLiteral("since"));
    EXPECT_EQ(SwitchboardRequests::cursorFrom(since), GetParam().cursor) << GetParam().json;
}

INSTANTIATE_TEST_SUITE_P(Table, KivrenClientCursor,
                         ::testing::Values(CursorCase{"-17.9", -17}, CursorCase{"9007199254740993", 9007199254740993},
                                           CursorCase{"9223372036854775807", INT64_MAX},
                                           CursorCase{"1e19", std::nullopt}, CursorCase{"-1e19", std::nullopt},
                                           CursorCase{"1e400", std::nullopt}, CursorCase{"null", std::nullopt},
                                           CursorCase{"true", std::nullopt}));

TEST(KivrenClientCursorValue, CursorFrom_NonFiniteKeeps)
{
    EXPECT_EQ(SwitchboardRequests::cursorFrom(QJsonValue(std::numeric_limits<double>::infinity())), std::nullopt);
    EXPECT_EQ(SwitchboardRequests::cursorFrom(QJsonValue(std::numeric_limits<double>::quiet_NaN())), std::nullopt);
}

// --- Input -------------------------------------------------------------------------------

TEST_F(KivrenClientTest, Send_PushesOneInputMessageWithAllEightMembers)
{
    connectTo();
    ASSERT_TRUE(waitForPhase(SessionPhase::live));
    client->send(RemoteInput{RemoteInput::Kind::down, 0.25, 0.75, 1, 1, 0, 0, {}});
    ASSERT_TRUE(waitFor([&] { return board.requests(QStringLiteral("push")).size() == 1; }));

    const QJsonObject body = board.requests(QStringLiteral("push")).value(0).body;
    EXPECT_EQ(body.value("sessionId"), "s1");
    EXPECT_EQ(body.value("token"), "t1");
    EXPECT_EQ(body.value("role"), "viewer");
    EXPECT_EQ(body.value("kind"), "json");
    EXPECT_EQ(decodedPayload(body), (QJsonObject{{"type", "input"}, {"kind", "down"}, {"x", 0.25}, {"y", 0.75}, {"button", 1},
                                                 {"clickCount", 1}, {"deltaX", 0}, {"deltaY", 0}}));
    // Byte for byte: the session members ahead of the payload, the payload as it always was.
    EXPECT_EQ(board.requests(QStringLiteral("push")).value(0).bytes,
              R"({"kind":"json","role":"viewer","sessionId":"s1","token":"t1","payload":")"
              "eyJidXR0b24iOjEsImNsaWNrQ291bnQiOjEsImRlbHRhWCI6MCwiZGVsdGFZIjowLCJraW5kIjoiZG93biIsInR5cGUiOiJpbnB1dCIsIngiOjAuMjUsInkiOjAuNzV9"
              R"("})");
}

TEST_F(KivrenClientTest, Send_PressWaitsForEarlierPushes_SoItCannotBeOvertaken)
{
    board.setReplies(QStringLiteral("push"), {{200, "{}", true}, {200, "{}"}});
    connectTo();
    ASSERT_TRUE(waitForPhase(SessionPhase::live));
    // A wheel: a move before any press would be hovering, which this host did not name.
    client->send(RemoteInput{RemoteInput::Kind::wheel, 0.1, 0.1, 0, 1, 0, 0, {}});
    ASSERT_TRUE(waitFor([&] { return board.heldCount() == 1; }));
    client->send(RemoteInput{RemoteInput::Kind::down, 0.2, 0.2, 0, 1, 0, 0, {}});
    client->send(RemoteInput{RemoteInput::Kind::move, 0.3, 0.3, 0, 1, 0, 0, {}});
    client->send(RemoteInput{RemoteInput::Kind::up, 0.4, 0.4, 0, 1, 0, 0, {}});
    QTest::qWait(200);
    EXPECT_EQ(board.requests(QStringLiteral("push")).size(), 1);

    board.releaseHeld(200, "{}");
    ASSERT_TRUE(waitFor([&] { return board.requests(QStringLiteral("push")).size() == 4; }));
    QStringList order;
    for (const auto &request : board.requests(QStringLiteral("push"))) {
        const QJsonObject message = decodedPayload(request.body);
        order << message.value("kind").toString() + QString::number(message.value("x").toDouble());
    }
    EXPECT_EQ(order, (QStringList{"wheel0.1", "down0.2", "move0.3", "up0.4"}));
}

// What the viewer sends of the user's keys and clicks, to a host that announced the additions
// and to one that did not (which would type a shortcut's bare letter: Ctrl+A replacing a
// selection with "a", or might take a hover move for a drag).
struct GatingCase
{
    const char *name;
    QJsonArray features;
    QStringList pushed;
};

void PrintTo(const GatingCase &row, std::ostream *out)
{
    *out << row.name;
}

class KivrenClientGating : public ViewerFixture, public ::testing::TestWithParam<GatingCase>
{
};

TEST_P(KivrenClientGating, Input_SentOnlyAsTheHostAnnounced)
{
    QJsonObject greeting{{"type", "hello"}, {"width", 800}, {"height", 600}};
    if (!GetParam().features.isEmpty())
        greeting.insert("features", GetParam().features);
    board.setReplies(QStringLiteral("poll"),
                     {{200, QJsonDocument(QJsonObject{{"frames", QJsonArray{jsonFrame(greeting)}}}).toJson()}, {200, "{}"}});
    connectTo();
    ASSERT_TRUE(waitFor([&] { return client->remoteSize() == QSizeF(800, 600); }));

    using SessionProtocol::Key;
    client->sendKey(Key{"", "a", true, {KeyModifier::Control}});
    client->sendKey(Key{"f5", "", true, {}});
    client->sendKey(Key{"enter", "", true, {}});
    // Hovering: no button is held yet.
    client->send(RemoteInput{RemoteInput::Kind::move, 0.25, 0.75, 0, 1, 0, 0, {}});
    RemoteInput shiftClick{RemoteInput::Kind::down, 0.5, 0.5, 0, 1, 0, 0, {}};
    shiftClick.modifiers = {KeyModifier::Shift};
    client->send(shiftClick);
    // Longer than one text message may be: it goes in two.
    client->sendText(QString(SessionProtocol::maxTextCharacters + 1, u'x'));
    // The user's input only: the caps answer to the hello goes out whatever the host named.
    const auto pushedInput = [&] {
        QStringList pushed;
        for (const auto &request : board.requests(QStringLiteral("push"))) {
            QJsonObject message = decodedPayload(request.body);
            if (message.value("type") == QLatin1String("caps"))
                continue;
            if (message.value("type") == QLatin1String("text"))
                message.insert("key", QString::number(message.value("key").toString().size()));
            pushed << QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact));
        }
        return pushed;
    };
    ASSERT_TRUE(waitFor([&] { return pushedInput().size() == GetParam().pushed.size(); }));
    QTest::qWait(100);
    EXPECT_EQ(pushedInput(), GetParam().pushed);
}

INSTANTIATE_TEST_SUITE_P(
    Table, KivrenClientGating,
    ::testing::Values(
        GatingCase{"HostWithoutAdditions",
                   {},
                   {R"({"codeName":"enter","down":true,"key":"","type":"key"})",
                    R"({"button":0,"clickCount":1,"deltaX":0,"deltaY":0,"kind":"down","type":"input","x":0.5,"y":0.5})",
                    R"({"key":"1024","type":"text"})", R"({"key":"1","type":"text"})"}},
        GatingCase{"HostWithKeysAndModifiers",
                   {"keys", "modifiers"},
                   {R"({"codeName":"","down":true,"key":"a","modifiers":["control"],"type":"key"})",
                    R"({"codeName":"f5","down":true,"key":"","type":"key"})",
                    R"({"codeName":"enter","down":true,"key":"","type":"key"})",
                    R"({"button":0,"clickCount":1,"deltaX":0,"deltaY":0,"kind":"down","modifiers":["shift"],"type":"input","x":0.5,"y":0.5})",
                    R"({"key":"1024","type":"text"})", R"({"key":"1","type":"text"})"}},
        GatingCase{"HostWithHover",
                   {"hover"},
                   {R"({"codeName":"enter","down":true,"key":"","type":"key"})",
                    R"({"button":0,"clickCount":1,"deltaX":0,"deltaY":0,"kind":"move","type":"input","x":0.25,"y":0.75})",
                    R"({"button":0,"clickCount":1,"deltaX":0,"deltaY":0,"kind":"down","type":"input","x":0.5,"y":0.5})",
                    R"({"key":"1024","type":"text"})", R"({"key":"1","type":"text"})"}}),
    [](const auto &info) { return std::string(info.param.name); });

// A push left hanging by the first session does not hold up the next one's input, and what the
// first one still had waiting is gone with it.
TEST_F(KivrenClientTest, NextSession_StartsWithAnEmptyQueue)
{
    board.setReplies(QStringLiteral("push"), {{200, "{}", true}, {200, "{}"}});
    connectTo();
    ASSERT_TRUE(waitForPhase(SessionPhase::live));
    client->send(RemoteInput{RemoteInput::Kind::down, 0.1, 0.1, 0, 1, 0, 0, {}});
    ASSERT_TRUE(waitFor([&] { return board.heldCount() == 1; }));
    client->send(RemoteInput{RemoteInput::Kind::up, 0.1, 0.1, 0, 1, 0, 0, {}});

    connectTo(QStringLiteral("987654321"));
    ASSERT_TRUE(waitFor([&] { return board.requests(QStringLiteral("connect")).size() == 2 && client->phase() == SessionPhase::live; }));
    client->send(RemoteInput{RemoteInput::Kind::down, 0.2, 0.2, 0, 1, 0, 0, {}});
    ASSERT_TRUE(waitFor([&] { return board.requests(QStringLiteral("push")).size() == 2; }));
    QTest::qWait(100);
    EXPECT_EQ(board.heldCount(), 1);
    const QList<CannedSwitchboard::Request> pushes = board.requests(QStringLiteral("push"));
    ASSERT_EQ(pushes.size(), 2);
    EXPECT_EQ(decodedPayload(pushes[1].body).value("x").toDouble(), 0.2);
}

TEST_F(KivrenClientTest, Send_DroppedWhileAuthenticatingAndAfterDisconnect)
{
    board.hold(QStringLiteral("lookup"));
    connectTo();
    ASSERT_TRUE(waitFor([&] { return board.heldCount() == 1; }));
    client->send(RemoteInput{});
    client->disconnectFromRemote();
    client->send(RemoteInput{});
    // The close is sent after both sends; once it has arrived, a push would have too.
    ASSERT_TRUE(waitFor([&] { return !board.requests(QStringLiteral("close")).isEmpty(); }));
    QTest::qWait(50);
    EXPECT_TRUE(board.requests(QStringLiteral("push")).isEmpty());
}

// --- Ending and cancelling ---------------------------------------------------------------

TEST_F(KivrenClientTest, Disconnect_WhileLive_ClosesTheSessionAndClearsThePicture)
{
    board.setReplies(QStringLiteral("poll"),
                     {{200, QJsonDocument(QJsonObject{{"frames", QJsonArray{jpegFrame({16, 16})}}}).toJson()}, {200, "{}"}});
    connectTo();
    ASSERT_TRUE(waitFor([&] { return !client->frame().isNull(); }));
    client->disconnectFromRemote();
    EXPECT_EQ(client->phase(), SessionPhase::idle);
    EXPECT_EQ(client->status(), QStringLiteral("Disconnected"));
    EXPECT_TRUE(client->frame().isNull());
    EXPECT_EQ(client->hostName(), QStringLiteral("Desk PC"));

    ASSERT_TRUE(waitFor([&] { return !board.requests(QStringLiteral("close")).isEmpty(); }));
    EXPECT_EQ(board.requests(QStringLiteral("close")).value(0).body, (QJsonObject{{"sessionId", "s1"}, {"token", "t1"}}));
    const qsizetype polls = board.requests(QStringLiteral("poll")).size();
    QTest::qWait(300);
    EXPECT_EQ(board.requests(QStringLiteral("poll")).size(), polls);
    EXPECT_EQ(client->phase(), SessionPhase::idle);
    EXPECT_EQ(client->status(), QStringLiteral("Disconnected"));
    EXPECT_FALSE(client->error().has_value());
}

TEST_F(KivrenClientTest, Disconnect_WhileAuthenticating_LateFailureWritesNothing)
{
    board.hold(QStringLiteral("lookup"));
    connectTo();
    ASSERT_TRUE(waitFor([&] { return board.heldCount() == 1; }));
    EXPECT_EQ(client->phase(), SessionPhase::authenticating);

    int changes = 0;
    client->disconnectFromRemote();
    QObject::connect(client.get(), &KivrenClient::statusChanged, [&] { ++changes; });
    QObject::connect(client.get(), &KivrenClient::phaseChanged, [&] { ++changes; });
    QObject::connect(client.get(), &KivrenClient::errorChanged, [&] { ++changes; });
    board.releaseHeld(500, R"({"error":"too late"})");
    ASSERT_TRUE(waitFor([&] { return !board.requests(QStringLiteral("close")).isEmpty(); }));
    QTest::qWait(100);

    EXPECT_EQ(changes, 0);
    EXPECT_EQ(client->phase(), SessionPhase::idle);
    EXPECT_EQ(client->status(), QStringLiteral("Disconnected"));
    EXPECT_FALSE(client->error().has_value());
}

TEST_F(KivrenClientTest, Connect_WhileAuthenticating_ReplacesTheOldAttempt)
{
    board.setReplies(QStringLiteral("lookup"), {{200, "{}", true}, {200, R"({"found":true,"online":true})"}});
    connectTo(QStringLiteral("111111111"));
    ASSERT_TRUE(waitFor([&] { return board.heldCount() == 1; }));
    connectTo(QStringLiteral("222222222"));
    ASSERT_TRUE(waitForPhase(SessionPhase::live));
    board.releaseHeld(200, R"({"found":false})");
    QTest::qWait(100);
    EXPECT_EQ(client->phase(), SessionPhase::live);
    EXPECT_EQ(client->book().size(), 1);
    EXPECT_EQ(client->book().value(0).id, QStringLiteral("222222222"));
}

TEST_F(KivrenClientTest, Connect_WhileLive_ClosesTheOldSessionFirst)
{
    // The old host must not stream to nobody until the switchboard drops its session.
    board.setReplies(QStringLiteral("lookup"), {{200, R"({"found":true,"online":true})"}, {200, "{}", true}});
    connectTo(QStringLiteral("111111111"));
    ASSERT_TRUE(waitForPhase(SessionPhase::live));
    connectTo(QStringLiteral("222222222"));

    ASSERT_TRUE(waitFor([&] { return board.heldCount() == 1 && !board.requests(QStringLiteral("close")).isEmpty(); }));
    EXPECT_EQ(board.requests(QStringLiteral("close")).value(0).body, (QJsonObject{{"sessionId", "s1"}, {"token", "t1"}}));

    // Closed once: a disconnect before the new session opens has no session left to name.
    client->disconnectFromRemote();
    ASSERT_TRUE(waitFor([&] { return board.requests(QStringLiteral("close")).size() == 2; }));
    EXPECT_EQ(board.requests(QStringLiteral("close")).value(1).body, (QJsonObject{{"sessionId", ""}, {"token", ""}}));
}

TEST_F(KivrenClientTest, Hello_FeaturesKept_AnsweredWithCapsNamingCursorAndTiles)
{
    const QJsonObject greeting{{"type", "hello"}, {"width", 1920}, {"height", 1080}, {"features", QJsonArray{"tiles"}}};
    board.setReplies(QStringLiteral("poll"),
                     {{200, QJsonDocument(QJsonObject{{"frames", QJsonArray{jsonFrame(greeting)}}}).toJson()}, {200, "{}"}});
    connectTo();
    ASSERT_TRUE(waitFor([&] { return client->remoteSize() == QSizeF(1920, 1080); }));
    ASSERT_NE(client->session(), nullptr);
    EXPECT_TRUE(client->session()->peerSupports(u"tiles"));
    ASSERT_TRUE(waitFor([&] { return board.requests(QStringLiteral("poll")).size() >= 3; }));
    const auto pushes = board.requests(QStringLiteral("push"));
    ASSERT_EQ(pushes.size(), 1);
    EXPECT_EQ(decodedPayload(pushes[0].body), (QJsonObject{{"type", "caps"}, {"features", QJsonArray{"cursor", "tiles"}}}));
}

// The picture and then only a changed area: the view is told what to repaint.
TEST_F(KivrenClientTest, Tiles_ComposedIntoTheFrame_RedrawnAreaIsTheirs)
{
    const SessionProtocol::Envelope tiles = SessionProtocol::encode(
        SessionProtocol::Tiles{{64, 40}, {{{16, 16}, TestPictures::jpeg({16, 16}, Qt::yellow)}}});
    const auto answer = [](const QJsonObject &frame) {
        return CannedSwitchboard::Reply{200, QJsonDocument(QJsonObject{{"frames", QJsonArray{frame}}}).toJson()};
    };
    board.setReplies(QStringLiteral("poll"), {answer(jpegFrame({64, 40})), answer(frame(tiles.kind, tiles.base64)), {200, "{}"}});
    QList<QRegion> areas;
    QObject::connect(client.get(), &KivrenClient::frameRedrawn, [&](const QImage &picture, const QRegion &area) {
        EXPECT_EQ(picture, client->frame());
        areas << area;
    });
    connectTo();
    ASSERT_TRUE(waitFor([&] { return areas.size() == 2; }));

    EXPECT_EQ(areas, (QList<QRegion>{QRegion(0, 0, 64, 40), QRegion(16, 16, 16, 16)}));
    // Within JPEG error of the tile inside its area and of the picture outside it.
    const auto near = [](QColor got, QColor want) {
        return std::abs(got.red() - want.red()) <= 12 && std::abs(got.green() - want.green()) <= 12
            && std::abs(got.blue() - want.blue()) <= 12;
    };
    EXPECT_TRUE(near(client->frame().pixelColor(24, 24), Qt::yellow));
    EXPECT_TRUE(near(client->frame().pixelColor(40, 24), Qt::darkCyan));

    client->disconnectFromRemote();
    EXPECT_EQ(areas.last(), QRegion());
}

// --- Long polls, the other side's quiet, a new session's picture ------------------------

struct HoldCase
{
    const char *name;
    QJsonValue maxWaitMs; // undefined: the connect answer names none
    QJsonValue waitMs;    // undefined: the polls carry none

    friend void PrintTo(const HoldCase &c, std::ostream *os) { *os << c.name; }
};

class KivrenClientHolds : public ViewerFixture, public ::testing::TestWithParam<HoldCase>
{
};

// Only a switchboard that announced holds is asked to hold a poll, and never for longer than 25 s.
TEST_P(KivrenClientHolds, Polls_AskForAHoldOnlyWhenAnnounced)
{
    const HoldCase c = GetParam();
    QJsonObject opened{{"sessionId", "s1"}, {"sessionToken", "t1"}, {"transport", "relay"}};
    if (!c.maxWaitMs.isUndefined())
        opened.insert(QStringLiteral("maxWaitMs"), c.maxWaitMs);
    board.setReply(QStringLiteral("connect"), opened);
    connectTo();
    ASSERT_TRUE(waitFor([&] { return board.requests(QStringLiteral("poll")).size() >= 2; }));
    for (const CannedSwitchboard::Request &poll : board.requests(QStringLiteral("poll"))) {
        EXPECT_EQ(poll.body.value(QStringLiteral("waitMs")), c.waitMs) << poll.bytes.toStdString();
        EXPECT_EQ(poll.body.size(), c.waitMs.isUndefined() ? 4 : 5) << poll.bytes.toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(Table, KivrenClientHolds,
                         ::testing::Values(HoldCase{"OldSwitchboard", QJsonValue::Undefined, QJsonValue::Undefined},
                                           HoldCase{"Announced", 25000, 25000},
                                           HoldCase{"AnnouncedShorter", 8000, 8000},
                                           HoldCase{"AnnouncedLonger", 120000, 25000},
                                           HoldCase{"Zero", 0, QJsonValue::Undefined},
                                           HoldCase{"Fraction", 2500.5, QJsonValue::Undefined},
                                           HoldCase{"Text", QStringLiteral("25000"), QJsonValue::Undefined},
                                           HoldCase{"Null", QJsonValue::Null, QJsonValue::Undefined}),
                         [](const auto &info) { return std::string(info.param.name); });

// A held poll is not cut off by the client's own timeout for requests that make no progress.
TEST_F(KivrenClientTest, HeldPoll_OutlastsTheNoProgressTimeout)
{
    board.setReply(QStringLiteral("connect"),
                   {{"sessionId", "s1"}, {"sessionToken", "t1"}, {"transport", "relay"}, {"maxWaitMs", 1000}});
    board.hold(QStringLiteral("poll"));
    client->api().setTimeout(std::chrono::milliseconds(150));
    connectTo();
    ASSERT_TRUE(waitFor([&] { return board.heldCount() == 1; }));
    // Well past the shortened timeout, within the hold and its margin.
    QTest::qWait(600);
    EXPECT_EQ(client->status(), connectedDesk);
    EXPECT_EQ(board.openHeldConnections(), 1);
    EXPECT_EQ(board.requests(QStringLiteral("poll")).size(), 1);
}

QByteArray pollAnswer(qint64 since, std::optional<qint64> peerQuietMs, const QJsonArray &frames = {})
{
    QJsonObject answer{{"frames", frames}, {"since", since}};
    if (peerQuietMs)
        answer.insert(QStringLiteral("peerQuietMs"), *peerQuietMs);
    return QJsonDocument(answer).toJson(QJsonDocument::Compact);
}

// The host quiet for over 4 s, or the switchboard failing for a while: the picture is greyed
// and the status says so, until the other side is heard again.
struct QuietCase
{
    const char *name;
    CannedSwitchboard::Reply silence;

    friend void PrintTo(const QuietCase &c, std::ostream *os) { *os << c.name; }
};

class KivrenClientQuiet : public ViewerFixture, public ::testing::TestWithParam<QuietCase>
{
};

TEST_P(KivrenClientQuiet, Status_NotAnsweringAndPictureGreyed_UntilHeardAgain)
{
    board.setReply(QStringLiteral("connect"),
                   {{"sessionId", "s1"}, {"sessionToken", "t1"}, {"transport", "relay"}, {"maxWaitMs", 25000}});
    board.setReplies(QStringLiteral("poll"),
                     {{200, pollAnswer(1, 0, QJsonArray{jpegFrame({32, 20})})},
                      GetParam().silence,
                      GetParam().silence,
                      {200, pollAnswer(1, PollPacing::peerQuietLimit.count())}});
    QStringList statuses;
    QList<bool> stale;
    QObject::connect(client.get(), &KivrenClient::statusChanged, [&](const QString &s) { statuses << s; });
    QObject::connect(client.get(), &KivrenClient::pictureStaleChanged, [&](bool now) { stale << now; });
    connectTo();
    ASSERT_TRUE(waitFor([&] { return stale.size() == 2; })) << statuses.join(" | ").toStdString();

    EXPECT_EQ(stale, (QList<bool>{true, false}));
    EXPECT_EQ(statuses.mid(statuses.indexOf(connectedDesk)),
              (QStringList{connectedDesk, ViewerSession::notAnsweringStatus, connectedDesk}));
    EXPECT_EQ(client->phase(), SessionPhase::live);
    // The last picture stays, greyed, while the other side is quiet.
    EXPECT_FALSE(client->frame().isNull());
}

INSTANTIATE_TEST_SUITE_P(
    Table, KivrenClientQuiet,
    ::testing::Values(QuietCase{"HostQuiet", {200, pollAnswer(1, PollPacing::peerQuietLimit.count() + 1)}},
                      QuietCase{"SwitchboardRestarting", {502, "<html>Bad gateway</html>"}}),
    [](const auto &info) { return std::string(info.param.name); });

// A switchboard restarted: polls fail, then it no longer knows the session; the viewer looks
// the ID up and connects again by itself, with the password it was given, and starts afresh.
TEST_F(KivrenClientTest, SwitchboardRestarted_ReconnectsByItself)
{
    board.setReplies(QStringLiteral("poll"), {{200, pollAnswer(1, 0, QJsonArray{jpegFrame({32, 20})})},
                                              {502, "<html>Bad gateway</html>"},
                                              {404, R"({"error":"Session not found"})"},
                                              {200, pollAnswer(0, 0)}});
    QStringList statuses;
    QList<bool> stale;
    QObject::connect(client.get(), &KivrenClient::statusChanged, [&](const QString &s) { statuses << s; });
    QObject::connect(client.get(), &KivrenClient::pictureStaleChanged, [&](bool now) { stale << now; });
    connectTo();
    ASSERT_TRUE(waitFor([&] { return stale.size() == 2; })) << statuses.join(" | ").toStdString();

    EXPECT_EQ(statuses.mid(statuses.indexOf(connectedDesk)),
              (QStringList{connectedDesk, ViewerSession::notAnsweringStatus, ViewerSession::reconnectingStatus,
                           connectedDesk}));
    EXPECT_EQ(client->phase(), SessionPhase::live);
    EXPECT_EQ(board.requests(QStringLiteral("lookup")).size(), 2);
    const auto connects = board.requests(QStringLiteral("connect"));
    ASSERT_EQ(connects.size(), 2);
    EXPECT_EQ(connects[1].body.value("password"), "ABCD-EFGH");
    // Nothing of the picture before the outage passes for the new session's.
    EXPECT_TRUE(client->frame().isNull());
    EXPECT_EQ(board.requests(QStringLiteral("poll")).last().body.value("since"), 0);
}

// A poll refused for good still ends the session at once, with the switchboard's words.
TEST_F(KivrenClientTest, PollEnded_FailsAtOnceWithoutRetrying)
{
    board.setReplies(QStringLiteral("poll"), {{410, R"({"error":"The host ended the session"})"}});
    connectTo();
    ASSERT_TRUE(waitForPhase(SessionPhase::failed));
    EXPECT_EQ(client->status(), QStringLiteral("The host ended the session"));
    EXPECT_EQ(board.requests(QStringLiteral("poll")).size(), 1);
}

// Connecting again shows nothing of the session before until the new one sends its picture.
TEST_F(KivrenClientTest, NewSession_StartsWithoutThePictureBefore)
{
    board.setReplies(QStringLiteral("poll"), {{200, pollAnswer(1, std::nullopt, QJsonArray{jpegFrame({32, 20})})},
                                              {200, pollAnswer(1, std::nullopt)}});
    connectTo();
    ASSERT_TRUE(waitFor([&] { return !client->frame().isNull(); }));

    QList<QImage> frames;
    QObject::connect(client.get(), &KivrenClient::frameChanged, [&](const QImage &f) { frames << f; });
    board.hold(QStringLiteral("lookup"));
    connectTo(QStringLiteral("987654321"));
    EXPECT_TRUE(client->frame().isNull());
    ASSERT_EQ(frames.size(), 1);
    EXPECT_TRUE(frames[0].isNull());
    EXPECT_FALSE(client->pictureStale());
}

// The client goes away while its tasks wait; the sanitizer build catches any later touch.
enum class DestroyPoint { lookupInFlight, pollInFlight, betweenPolls, pushInFlight };

std::string nameOf(DestroyPoint point)
{
    switch (point) {
    case DestroyPoint::lookupInFlight:
        return "LookupInFlight";
    case DestroyPoint::pollInFlight:
        return "PollInFlight";
    case DestroyPoint::betweenPolls:
        return "BetweenPolls";
    case DestroyPoint::pushInFlight:
        break;
    }
    return "PushInFlight";
}

void PrintTo(DestroyPoint point, std::ostream *out)
{
    *out << nameOf(point);
}

class KivrenClientDestroyed : public ViewerFixture, public ::testing::TestWithParam<DestroyPoint>
{
};

TEST_P(KivrenClientDestroyed, Destroyed_MidSession_LaterAnswersAreHarmless)
{
    const DestroyPoint point = GetParam();
    if (point == DestroyPoint::lookupInFlight)
        board.hold(QStringLiteral("lookup"));
    if (point == DestroyPoint::pollInFlight)
        board.hold(QStringLiteral("poll"));
    if (point == DestroyPoint::pushInFlight)
        board.hold(QStringLiteral("push"));
    connectTo();

    if (point == DestroyPoint::betweenPolls) {
        ASSERT_TRUE(waitFor([&] { return board.requests(QStringLiteral("poll")).size() >= 2; }));
        QTest::qWait(20);
    } else {
        if (point == DestroyPoint::pushInFlight) {
            ASSERT_TRUE(waitForPhase(SessionPhase::live));
            client->send(RemoteInput{RemoteInput::Kind::wheel});
            client->disconnectFromRemote(); // a close in flight too
        }
        ASSERT_TRUE(waitFor([&] { return board.heldCount() == 1; }));
    }
    const qsizetype sent = board.requests().size();
    // The held request's answer leaves as the client goes: nothing may touch what is gone.
    board.releaseHeld(200, R"({"found":true,"online":true,"frames":[]})");
    client.reset();
    // Going, the client cancelled what it had in flight, which closes a request's connection...
    EXPECT_TRUE(waitFor([&] { return board.openHeldConnections() == 0; })) << "a held request outlived the client";
    // ...and its session loop went with it: for longer than the pause between two polls, nothing
    // more arrives.
    QTest::qWait(int(2 * ViewerSession::pollPause.count()));
    EXPECT_EQ(board.requests().size(), sent) << "the client sent " << board.requests().last().path.toStdString()
                                            << " after it was destroyed";
}

INSTANTIATE_TEST_SUITE_P(Table, KivrenClientDestroyed,
                         ::testing::Values(DestroyPoint::lookupInFlight, DestroyPoint::pollInFlight,
                                           DestroyPoint::betweenPolls, DestroyPoint::pushInFlight),
                         [](const auto &info) { return nameOf(info.param); });

} // namespace
