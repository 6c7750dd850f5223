// What the viewer keeps across launches: the address book and the cloud address.
#include "CannedSwitchboard.h"

#include "KivrenAPI.h"
#include "KivrenClient.h"
#include "SettingsStore.h"

#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

namespace {

class KivrenClientBook : public ::testing::Test
{
protected:
    void SetUp() override
    {
        store()->setText(KivrenClient::cloudKey, board.origin());
        board.setReply(QStringLiteral("connect"), {{"sessionId", "s"}, {"sessionToken", "t"}});
        client = std::make_unique<KivrenClient>(*store(), QStringLiteral("Test Mac"));
    }

    void TearDown() override
    {
        client.reset();
        QTest::qWait(20);
    }

    SettingsStore *store()
    {
        if (!m_store)
            m_store = std::make_unique<SettingsStore>(dir.filePath(QStringLiteral("settings.ini")));
        return m_store.get();
    }

    // A new client on a new store object over the same file, as after a restart.
    void restart()
    {
        client.reset();
        m_store.reset();
        client = std::make_unique<KivrenClient>(*store(), QStringLiteral("Test Mac"));
    }

    // One session with the machine `id` whose lookup reports `name`, until it is remembered.
    void reach(const QString &id, const QString &name)
    {
        board.setReply(QStringLiteral("lookup"), {{"found", true}, {"online", true}, {"name", name}});
        client->setRemoteId(id);
        client->setRemotePassword(QStringLiteral("ABCDEFGH"));
        client->connectToRemote();
        ASSERT_TRUE(QTest::qWaitFor([&] { return client->phase() == SessionPhase::live && client->book().value(0).id == id; }, 10000));
    }

    static QStringList ids(const QList<BookEntry> &book)
    {
        QStringList list;
        for (const BookEntry &entry : book)
            list << entry.id;
        return list;
    }

    QTemporaryDir dir;
    CannedSwitchboard board;
    std::unique_ptr<KivrenClient> client;

private:
    std::unique_ptr<SettingsStore> m_store;
};

TEST_F(KivrenClientBook, SameMachineTwice_MovesToFrontWithLatestNameAndTime)
{
    reach(QStringLiteral("111111111"), QStringLiteral("Old name"));
    const QDateTime first = client->book().value(0).last;
    reach(QStringLiteral("222222222"), QStringLiteral("Other"));
    QTest::qWait(5);
    reach(QStringLiteral("111111111"), QStringLiteral("New name"));

    const QList<BookEntry> book = client->book();
    EXPECT_EQ(ids(book), (QStringList{QStringLiteral("111111111"), QStringLiteral("222222222")}));
    EXPECT_EQ(book.value(0).name, QStringLiteral("New name"));
    EXPECT_GT(book.value(0).last, first);
}

TEST_F(KivrenClientBook, ThirteenthMachine_DropsTheOldest_AndBookSurvivesRestart)
{
    QStringList reached;
    for (int i = 1; i <= 13; ++i) {
        reached.prepend(QString::number(100000000 + i));
        reach(reached.first(), QStringLiteral("PC %1").arg(i));
    }
    reached.removeLast();
    EXPECT_EQ(ids(client->book()), reached);

    const QList<BookEntry> before = client->book();
    restart();
    const QList<BookEntry> after = client->book();
    ASSERT_EQ(ids(after), reached);
    for (qsizetype i = 0; i < after.size(); ++i) {
        EXPECT_EQ(after[i].name, before[i].name);
        EXPECT_LE(qAbs(after[i].last.msecsTo(before[i].last)), 1);
    }
}

// The person renames and removes entries: both are stored at once and survive a restart; a
// given name stays over the one the host reports on the next connect; what an older build
// stored reads the same.
TEST_F(KivrenClientBook, RenameAndRemove_StoredAndKeptOverTheHostsName)
{
    reach(QStringLiteral("111111111"), QStringLiteral("DESKTOP-4F2"));
    reach(QStringLiteral("222222222"), QStringLiteral("Other"));

    EXPECT_FALSE(client->renameBookEntry(QStringLiteral("111111111"), QStringLiteral("   ")));
    EXPECT_FALSE(client->renameBookEntry(QStringLiteral("333333333"), QStringLiteral("Nobody")));
    EXPECT_TRUE(client->renameBookEntry(QStringLiteral("111111111"), QStringLiteral("  Mum's PC ")));
    EXPECT_EQ(client->book().value(1).name, QStringLiteral("Mum's PC"));
    EXPECT_TRUE(client->book().value(1).renamed);

    reach(QStringLiteral("111111111"), QStringLiteral("DESKTOP-4F2"));
    EXPECT_EQ(client->book().value(0).name, QStringLiteral("Mum's PC"));

    EXPECT_TRUE(client->removeBookEntry(QStringLiteral("222222222")));
    EXPECT_FALSE(client->removeBookEntry(QStringLiteral("222222222")));
    restart();
    ASSERT_EQ(ids(client->book()), QStringList{QStringLiteral("111111111")});
    EXPECT_EQ(client->book().value(0).name, QStringLiteral("Mum's PC"));
    EXPECT_TRUE(client->book().value(0).renamed);

    // As stored before renaming existed: the same entry, not renamed.
    const QByteArray older = R"([{"id":"444444444","name":"Laptop","last":700000000.5}])";
    store()->setBytes(KivrenClient::bookKey, older);
    restart();
    ASSERT_EQ(client->book().size(), 1);
    EXPECT_EQ(client->book().value(0).name, QStringLiteral("Laptop"));
    EXPECT_FALSE(client->book().value(0).renamed);
    EXPECT_FALSE(BookEntry::encodeList(client->book()).contains("renamed"));
}

// Opening an entry: without a password it asks for one and sends nothing; with one typed for
// that ID it connects; a password typed for another ID is not sent to this one.
TEST_F(KivrenClientBook, OpenEntry_AsksForThePasswordOrConnects)
{
    reach(QStringLiteral("111111111"), QStringLiteral("Studio PC"));
    client->disconnectFromRemote();
    client->setRemoteId(QStringLiteral("222 222 222"));
    client->setRemotePassword(QStringLiteral("ABCD-EFGH"));
    const qsizetype lookups = board.requests(QStringLiteral("lookup")).size();

    EXPECT_FALSE(client->openBookEntry(QStringLiteral("111111111")));
    EXPECT_EQ(client->remoteId(), QStringLiteral("111 111 111"));
    EXPECT_TRUE(client->remotePassword().isEmpty());
    EXPECT_EQ(client->status(), QStringLiteral("Enter the password shown on Studio PC, then press Enter"));
    EXPECT_EQ(client->phase(), SessionPhase::idle);
    EXPECT_EQ(board.requests(QStringLiteral("lookup")).size(), lookups);

    client->setRemotePassword(QStringLiteral("ABCDEFGH"));
    EXPECT_TRUE(client->openBookEntry(QStringLiteral("111111111")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return client->phase() == SessionPhase::live; }, 10000));
    EXPECT_FALSE(client->openBookEntry(QStringLiteral("999999999")));
}

// This computer's own ID is refused before anything goes out.
TEST_F(KivrenClientBook, OwnId_RefusedWithASentence)
{
    client->setOwnId(QStringLiteral("555555555"));
    client->setRemoteId(QStringLiteral("555 555 555"));
    client->setRemotePassword(QStringLiteral("ABCD-EFGH"));
    const QString refused = QStringLiteral("That is this computer's own ID: enter the ID of the computer you want to reach");
    EXPECT_EQ(client->status(), refused);
    client->connectToRemote();
    EXPECT_EQ(client->status(), refused);
    EXPECT_EQ(client->phase(), SessionPhase::idle);
    QTest::qWait(50);
    EXPECT_TRUE(board.requests(QStringLiteral("lookup")).isEmpty());
}

// A switchboard that hands out device tokens: the one a connect answer gives is kept with that
// machine's entry, across restarts, and sent back with the next connect to it (and to no other);
// a newer one replaces it, an answer without one keeps it.
TEST_F(KivrenClientBook, DeviceToken_KeptWithTheMachine_SentBackOnlyToIt)
{
    const QString a = QStringLiteral("111111111");
    const QString b = QStringLiteral("222222222");
    const auto connectGives = [&](const QString &token) {
        QJsonObject answer{{"sessionId", "s"}, {"sessionToken", "t"}};
        if (!token.isEmpty())
            answer.insert("deviceToken", token);
        board.setReply(QStringLiteral("connect"), answer);
    };
    const auto lastConnectSent = [&] {
        return board.requests(QStringLiteral("connect")).last().body.value("deviceToken").toString(QStringLiteral("none"));
    };
    const auto tokenOf = [&](const QString &id) {
        for (const BookEntry &entry : client->book()) {
            if (entry.id == id)
                return entry.deviceToken;
        }
        return QStringLiteral("no entry");
    };

    connectGives("tok-1");
    reach(a, "A");
    EXPECT_EQ(lastConnectSent(), "none");
    EXPECT_EQ(tokenOf(a), "tok-1");

    connectGives({});
    reach(b, "B");
    EXPECT_EQ(lastConnectSent(), "none");
    EXPECT_EQ(tokenOf(b), "");

    connectGives("tok-2");
    reach(a, "A");
    EXPECT_EQ(board.requests(QStringLiteral("connect")).last().bytes,
              R"({"clientName":"Test Mac","clientPlatform":"macos","deviceToken":"tok-1","id":"111111111","password":"ABCD-EFGH"})");
    EXPECT_EQ(tokenOf(a), "tok-2");

    // Neither a later answer without one nor one of another form takes it away.
    restart();
    connectGives(QString(200, u'x'));
    reach(a, "A");
    EXPECT_EQ(lastConnectSent(), "tok-2");
    EXPECT_EQ(tokenOf(a), "tok-2");
    EXPECT_EQ(tokenOf(b), "");
}

TEST_F(KivrenClientBook, MalformedStoredBook_IgnoredAndLeftInPlace)
{
    // The second entry lacks "last": the whole book is discarded.
    const QByteArray stored = R"([{"id":"111111111","name":"A","last":10.5},{"id":"222222222","name":"B"}])";
    store()->setBytes(KivrenClient::bookKey, stored);
    restart();
    EXPECT_TRUE(client->book().isEmpty());
    EXPECT_EQ(store()->bytes(KivrenClient::bookKey), std::optional<QByteArray>(stored));

    reach(QStringLiteral("333333333"), QStringLiteral("C"));
    restart();
    EXPECT_EQ(ids(client->book()), QStringList{QStringLiteral("333333333")});
}

struct CloudCase
{
    const char *typed;
    const char *stored;

    friend void PrintTo(const CloudCase &c, std::ostream *os) { *os << '"' << c.typed << '"'; }
};

class KivrenClientCloud : public ::testing::TestWithParam<CloudCase>
{
};

TEST_P(KivrenClientCloud, SetCloud_TrimsStoresAndPublishes)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("settings.ini"));
    const QString expected = QString::fromUtf8(GetParam().stored);
    {
        SettingsStore store(path);
        KivrenClient client(store, std::nullopt);
        QStringList published;
        QObject::connect(&client, &KivrenClient::cloudURLChanged, [&](const QString &url) { published << url; });
        client.setCloud(QString::fromUtf8(GetParam().typed));
        EXPECT_EQ(client.cloudURL(), expected);
        EXPECT_EQ(published, expected.isEmpty() ? QStringList{} : QStringList{expected});
        EXPECT_EQ(client.api().base(), expected);
    }
    SettingsStore reopened(path);
    EXPECT_EQ(reopened.text(KivrenClient::cloudKey), std::optional<QString>(expected));
    KivrenClient restarted(reopened, std::nullopt);
    EXPECT_EQ(restarted.cloudURL(), expected);
}

INSTANTIATE_TEST_SUITE_P(Table, KivrenClientCloud,
                         ::testing::Values(CloudCase{" http://host:17880/ ", "http://host:17880"},
                                           CloudCase{"//host//", "host"},
                                           CloudCase{"   ", ""},
                                           CloudCase{"\n\thttps://a.trycloudflare.com/\r\n", "https://a.trycloudflare.com"},
                                           // Slashes inside white space stay: trimming goes white space first.
                                           CloudCase{"/ host /", " host "}));

TEST_F(KivrenClientBook, SetCloud_NextConnectUsesTheNewAddress)
{
    CannedSwitchboard other;
    other.setReply(QStringLiteral("lookup"), {{"found", false}});
    client->setCloud(other.origin() + QStringLiteral("/"));
    client->setRemoteId(QStringLiteral("123456789"));
    client->setRemotePassword(QStringLiteral("ABCDEFGH"));
    client->connectToRemote();
    ASSERT_TRUE(QTest::qWaitFor([&] { return client->phase() == SessionPhase::failed; }, 10000));
    EXPECT_EQ(other.requests(QStringLiteral("lookup")).size(), 1);
    EXPECT_TRUE(board.requests().isEmpty());
}

} // namespace
