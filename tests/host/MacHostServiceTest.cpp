// The host service on its own: identity, accepting sessions, what a viewer's messages do.
// Requests go to a closed loopback port, so every one of them fails, or to canned answers.
#include "CannedSwitchboard.h"
#include "MacHostServiceFakes.h"
#include "ViewerAnswer.h"

#include "Clipboard.h"
#include "HostIdentity.h"
#include "HostInputQueue.h"
#include "KivrenIds.h"
#include "MacInput.h"
#include "SessionProtocol.h"
#include "SwitchboardRequests.h"

#include <QHash>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTest>

#include <gtest/gtest.h>

namespace {

const QString closedBase = QStringLiteral("http://127.0.0.1:1");
const QString starting = QStringLiteral("Getting ready\u2026");

QJsonObject json(const char *text)
{
    return QJsonDocument::fromJson(QByteArray(text)).object();
}

TEST(MacHostServiceIdentity, Construction_CreatesStoresAndReusesIdentity)
{
    HostServiceBench bench;
    QString id, password, token;
    {
        const auto service = bench.make(closedBase, HostServiceBench::quietTiming());
        id = service->publicId();
        password = service->password();
        token = service->hostToken();
        EXPECT_EQ(service->status(), starting);
        EXPECT_FALSE(service->live());
        EXPECT_EQ(service->clientName(), std::nullopt);
        EXPECT_EQ(service->origin(), QString());
    }
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^[0-9]{9}$")).match(id).hasMatch()) << id.toStdString();
    const QString letters = QRegularExpression::escape(KivrenIds::alphabet());
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^[%1]{4}-[%1]{4}$").arg(letters)).match(password).hasMatch())
        << password.toStdString();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^[0-9a-f]{48}$")).match(token).hasMatch()) << token.toStdString();
    EXPECT_EQ(bench.settings().text(HostIdentity::idKey), id);
    EXPECT_EQ(bench.settings().text(HostIdentity::passwordKey), password);
    EXPECT_EQ(bench.settings().text(HostIdentity::hostTokenKey), token);

    const auto second = bench.make(closedBase, HostServiceBench::quietTiming());
    EXPECT_EQ(second->publicId(), id);
    EXPECT_EQ(second->password(), password);
    EXPECT_EQ(second->hostToken(), token);
}

struct StoredCase
{
    const char *name;
    QString key;
    QString stored;
};

void PrintTo(const StoredCase &row, std::ostream *out)
{
    *out << row.name;
}

class MacHostServiceStored : public testing::TestWithParam<StoredCase>
{
};

// A value this program never writes in that form is replaced by a fresh one, which is stored;
// the well-formed values beside it are kept.
TEST_P(MacHostServiceStored, Construction_MalformedValueReplacedOthersKept)
{
    const StoredCase &row = GetParam();
    HostServiceBench bench;
    const QHash<QString, QString> good{{HostIdentity::idKey, QStringLiteral("123456789")},
                                       {HostIdentity::passwordKey, QStringLiteral("ABCD-EFGH")},
                                       {HostIdentity::hostTokenKey, QString(48, u'a')}};
    for (auto it = good.cbegin(); it != good.cend(); ++it)
        bench.settings().setText(it.key(), it.key() == row.key ? row.stored : it.value());

    const auto service = bench.make(closedBase, HostServiceBench::quietTiming());

    const QHash<QString, QString> shown{{HostIdentity::idKey, service->publicId()},
                                        {HostIdentity::passwordKey, service->password()},
                                        {HostIdentity::hostTokenKey, service->hostToken()}};
    for (auto it = good.cbegin(); it != good.cend(); ++it) {
        if (it.key() == row.key)
            EXPECT_NE(shown[it.key()], row.stored) << it.key().toStdString();
        else
            EXPECT_EQ(shown[it.key()], it.value()) << it.key().toStdString();
        EXPECT_EQ(bench.settings().text(it.key()), shown[it.key()]) << it.key().toStdString();
    }
    EXPECT_TRUE(KivrenIds::isCompactId(service->publicId()));
    EXPECT_TRUE(KivrenIds::isDisplayPassword(service->password()));
    EXPECT_TRUE(KivrenIds::isHostToken(service->hostToken()));
}

INSTANTIATE_TEST_SUITE_P(
    Values, MacHostServiceStored,
    testing::Values(StoredCase{"IdWithSpace", HostIdentity::idKey, QStringLiteral("12 34")},
                    StoredCase{"IdGrouped", HostIdentity::idKey, QStringLiteral("123 456 789")},
                    StoredCase{"IdTenDigits", HostIdentity::idKey, QStringLiteral("1234567890")},
                    StoredCase{"IdOtherScriptDigits", HostIdentity::idKey, u"١٢٣٤٥٦٧٨٩"_qs},
                    StoredCase{"IdEmpty", HostIdentity::idKey, QString()},
                    StoredCase{"PasswordLowerCase", HostIdentity::passwordKey, QStringLiteral("abcd-efgh")},
                    StoredCase{"PasswordWithoutHyphen", HostIdentity::passwordKey, QStringLiteral("ABCDEFGH")},
                    StoredCase{"PasswordLetterOutsideAlphabet", HostIdentity::passwordKey, QStringLiteral("ABC0-EFGH")},
                    StoredCase{"TokenUpperCase", HostIdentity::hostTokenKey, QString(48, u'A')},
                    StoredCase{"TokenShort", HostIdentity::hostTokenKey, QString(47, u'a')}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(MacHostServiceIdentity, Copy_PutsFormattedIdAndPasswordOnClipboard)
{
    HostServiceBench bench;
    // Stored values are used as they are.
    bench.settings().setText(HostIdentity::idKey, QStringLiteral("123456789"));
    bench.settings().setText(HostIdentity::passwordKey, QStringLiteral("ABCD-EFGH"));
    const auto service = bench.make(closedBase, HostServiceBench::quietTiming());

    service->copyId();
    EXPECT_EQ(Clipboard::plainText(), QStringLiteral("123 456 789"));
    service->copyPass();
    EXPECT_EQ(Clipboard::plainText(), QStringLiteral("ABCD-EFGH"));

    service->rotatePassword();
    EXPECT_NE(service->password(), QStringLiteral("ABCD-EFGH"));
    EXPECT_EQ(bench.settings().text(HostIdentity::passwordKey), service->password());
}

struct PendingCase
{
    const char *name;
    const char *entry;
    bool accepted;
    const char *status;                     // while the session runs
    std::optional<QString> clientName;
};

void PrintTo(const PendingCase &row, std::ostream *out)
{
    *out << row.name;
}

class MacHostServiceBegin : public testing::TestWithParam<PendingCase>
{
};

// The viewer a heartbeat answer names as waiting, if any.
std::optional<SwitchboardRequests::PendingSession> waiting(const char *entry)
{
    return SwitchboardRequests::HeartbeatAnswer::fromJson(QJsonObject{{"pending", json(entry)}}).pending;
}

// Failed claim, pushes and polls never end a session; only a close does.
TEST_P(MacHostServiceBegin, Begin_AcceptsValidEntryAndRunsUntilClose)
{
    const PendingCase &row = GetParam();
    HostServiceBench bench;
    CannedSwitchboard board;
    for (const char *path : {"claim", "push", "poll"})
        board.setReplies(path, {{500, R"({"error":"busy"})"}});
    const auto service = bench.make(board.origin(), HostServiceBench::quietTiming());

    const std::optional<SwitchboardRequests::PendingSession> pending = waiting(row.entry);
    ASSERT_EQ(pending.has_value(), row.accepted);
    if (!row.accepted)
        return;
    service->begin(*pending);
    EXPECT_TRUE(service->live());
    EXPECT_EQ(service->status(), QString::fromUtf8(row.status));
    EXPECT_EQ(service->clientName(), row.clientName);

    ASSERT_TRUE(QTest::qWaitFor([&] { return bench.desktop.captures >= 3; }, 10000));
    EXPECT_TRUE(service->live());
    // Another viewer while this one is connected is turned away.
    service->begin(*waiting(R"({"sessionId": "other", "sessionToken": "t", "clientName": "Mallory"})"));
    EXPECT_EQ(service->clientName(), row.clientName);
    EXPECT_EQ(service->status(), QString::fromUtf8(row.status));

    board.setReplies(QStringLiteral("poll"), {{200, answerWith({{{"type", "close"}}})}, {500, R"({"error":"busy"})"}});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !service->live(); }, 10000));
    EXPECT_EQ(service->status(), QStringLiteral("Waiting for an internet address"));
    EXPECT_EQ(service->clientName(), row.clientName);
    const qsizetype polls = board.requests(QStringLiteral("poll")).size();
    // The next viewer's session shows that nothing of the last one went on meanwhile.
    service->begin(*waiting(R"({"sessionId": "next", "sessionToken": "t", "clientName": "Bob"})"));
    EXPECT_EQ(service->status(), QStringLiteral("Connected \u00B7 Bob \u00B7 Not encrypted"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return board.requests(QStringLiteral("poll")).size() > polls; }, 10000));
    for (const CannedSwitchboard::Request &poll : board.requests(QStringLiteral("poll")).mid(polls))
        EXPECT_EQ(poll.body.value("sessionId"), "next");
}

INSTANTIATE_TEST_SUITE_P(
    Entries, MacHostServiceBegin,
    testing::Values(
        PendingCase{"Named", R"({"sessionId": "s1", "sessionToken": "t1", "clientName": "Alice"})", true,
                    "Connected \u00B7 Alice \u00B7 Not encrypted", QStringLiteral("Alice")},
        PendingCase{"Unnamed", R"({"sessionId": "s1", "sessionToken": "t1"})", true, "Connected \u00B7 Phone \u00B7 Not encrypted",
                    std::nullopt},
        PendingCase{"NameNotText", R"({"sessionId": "s1", "sessionToken": "t1", "clientName": 7})", true,
                    "Connected \u00B7 Phone \u00B7 Not encrypted", std::nullopt},
        PendingCase{"NumericSessionId", R"({"sessionId": 42, "sessionToken": "t1"})", false, "", std::nullopt},
        PendingCase{"NoToken", R"({"sessionId": "s1"})", false, "", std::nullopt},
        PendingCase{"Empty", "{}", false, "", std::nullopt}),
    [](const auto &info) { return std::string(info.param.name); });

struct MessageCase
{
    const char *name;
    const char *message;
    QStringList events;
};

void PrintTo(const MessageCase &row, std::ostream *out)
{
    *out << row.name;
}

class HostSessionMessage : public testing::TestWithParam<MessageCase>
{
protected:
    void SetUp() override { MacInput::setLeftDown(false); }
    void TearDown() override { MacInput::setLeftDown(false); }
};

// One viewer message as a session takes it from a poll answer: read with its defaults, queued,
// and injected on the session's next pass.
TEST_P(HostSessionMessage, Message_InjectedWithDefaults)
{
    FakeDesktop desktop;
    const DisplayGeometry geometry{1512, 982, 10, 20};
    HostInputQueue queue;
    for (const SessionProtocol::ViewerMessage &message :
         SessionProtocol::decodeViewerMessages(QJsonDocument::fromJson(answerWith({json(GetParam().message)})).object()))
        queue.append(message);
    queue.applyPass(desktop, geometry);

    EXPECT_EQ(desktop.events, GetParam().events);
    EXPECT_TRUE(queue.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Messages, HostSessionMessage,
    testing::Values(
        MessageCase{"BareInputMovesToTopLeft", R"({"type": "input"})", {"warp 10,20", "mouse 5 10,20 c1"}},
        MessageCase{"UnknownKindIsMove", R"({"type": "input", "kind": "hover", "x": 0.5, "y": 0.5})",
                    {"warp 766,511", "mouse 5 766,511 c1"}},
        MessageCase{"RightDoubleDown",
                    R"({"type": "input", "kind": "down", "x": 0.5, "y": 0.5, "button": 1, "clickCount": 2})",
                    {"warp 766,511", "mouse 5 766,511 c2", "warp 766,511", "mouse 3 766,511 c2"}},
        MessageCase{"MistypedButtonAndCountFallBack",
                    R"({"type": "input", "kind": "down", "button": 1.5, "clickCount": "2"})",
                    {"warp 10,20", "mouse 5 10,20 c1", "warp 10,20", "mouse 1 10,20 c1"}},
        MessageCase{"WheelDoesNotMovePointer", R"({"type": "input", "kind": "wheel", "x": 0.5, "y": 0.5, "deltaY": -3})",
                    {"scroll 766,511 -3"}},
        MessageCase{"NamedKeyRelease", R"({"type": "key", "codeName": "ArrowLeft", "down": false})", {"key arrowleft up"}},
        MessageCase{"KeyWithoutDownIsPress", R"({"type": "key", "key": "a", "down": "no"})", {"text a"}},
        MessageCase{"PlainKeyReleaseDropped", R"({"type": "key", "key": "a", "down": false})", {}},
        MessageCase{"TextTypesAll", R"({"type": "text", "key": "hi"})", {"text hi"}},
        MessageCase{"TextUnderOtherMemberIgnored", R"({"type": "text", "text": "hi"})", {}},
        MessageCase{"CloseInjectsNothing", R"({"type": "close"})", {}},
        MessageCase{"UnknownType", R"({"type": "paste", "key": "x"})", {}},
        MessageCase{"NoType", R"({"kind": "down"})", {}}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
