// One viewer session on its own, against canned switchboard answers: what it reports, the caps
// answer to a hello, and silence once stopped.
#include "CannedSwitchboard.h"
#include "TestPictures.h"

#include "Base64.h"
#include "KivrenAPI.h"
#include "OwnedTask.h"
#include "ViewerSession.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTest>

#include <gtest/gtest.h>

namespace {

// Every report, as text, in order.
class RecordingListener : public ViewerSession::Listener
{
public:
    QString cloudURL() const override { return cloud; }
    Transport transport() const override { return m_transport; }
    void setPhase(SessionPhase phase) override { log << "phase " + rawText(phase); }
    void setStatus(const QString &status) override { log << "status " + status; }
    void setError(const std::optional<QString> &error) override { log << "error " + error.value_or("none"); }
    void setHostName(const QString &name) override { log << "host " + name; }
    void setTransport(Transport transport) override
    {
        m_transport = transport;
        log << "transport " + rawText(transport);
    }
    void remember(const QString &id, const QString &name) override { log << "remember " + id + " " + name; }
    void setFrame(const QImage &frame) override { log << QStringLiteral("frame %1x%2").arg(frame.width()).arg(frame.height()); }
    void setRemoteSize(const QSizeF &size) override { log << QStringLiteral("size %1x%2").arg(size.width()).arg(size.height()); }

    QString cloud;
    QStringList log;

private:
    Transport m_transport = Transport::relay;
};

QByteArray helloAnswer(const QJsonObject &hello)
{
    const QByteArray payload = Base64::encode(QJsonDocument(hello).toJson(QJsonDocument::Compact));
    const QJsonObject frame{{"kind", "json"}, {"payload", QString::fromLatin1(payload)}};
    return QJsonDocument(QJsonObject{{"frames", QJsonArray{frame}}, {"since", 4}}).toJson(QJsonDocument::Compact);
}

class ViewerSessionTest : public ::testing::Test
{
protected:
    ViewerSessionTest()
        : api(board.origin())
    {
        listener.cloud = board.origin();
        board.setReply(QStringLiteral("lookup"), {{"found", true}, {"online", true}, {"name", "Desk PC"}});
        board.setReply(QStringLiteral("connect"), {{"sessionId", "s1"}, {"sessionToken", "t1"}, {"transport", "lan"}});
    }

    ~ViewerSessionTest() override
    {
        session.reset();
        QTest::qWait(20);
    }

    void start(SessionFeatures offered = ViewerSession::offeredFeatures())
    {
        ViewerSession::Options options;
        options.api = &api;
        options.listener = &listener;
        options.clientName = QStringLiteral("Test Mac");
        options.id = QStringLiteral("123456789");
        options.password = QStringLiteral("ABCD-EFGH");
        options.pushLifetime = pushes.get_token();
        options.offered = std::move(offered);
        session.start(std::move(options));
    }

    static bool waitFor(const std::function<bool()> &condition) { return QTest::qWaitFor(condition, 10000); }

    CannedSwitchboard board;
    KivrenAPI api;
    RecordingListener listener;
    std::stop_source pushes;
    OwnedTask<ViewerSession> session;
};

TEST_F(ViewerSessionTest, Run_ReportsEachStepAndPollsWithTheAnswersCursor)
{
    board.setReplies(QStringLiteral("poll"), {{200, helloAnswer({{"type", "hello"}, {"width", 1920}, {"height", 1080}})},
                                              {200, "{}"}});
    start();
    ASSERT_TRUE(waitFor([&] { return board.requests(QStringLiteral("poll")).size() >= 2; }));

    EXPECT_EQ(listener.log, (QStringList{"phase authenticating", "status Authenticating", "host Desk PC", "transport lan",
                                         "remember 123456789 Desk PC", "phase live", "status Connected \u00B7 Direct LAN",
                                         "size 1920x1080"}));
    EXPECT_EQ(board.requests(QStringLiteral("poll")).value(1).body,
              (QJsonObject{{"sessionId", "s1"}, {"token", "t1"}, {"role", "viewer"}, {"since", 4}}));
    EXPECT_EQ(session->keys(), (SessionProtocol::SessionKeys{"s1", "t1"}));
    EXPECT_TRUE(session->peerFeatures().isEmpty());
    EXPECT_TRUE(board.requests(QStringLiteral("push")).isEmpty());
}

TEST_F(ViewerSessionTest, Hello_AnsweredWithCapsWhenTheViewerOffersAdditions)
{
    const QJsonObject hello{{"type", "hello"}, {"width", 800}, {"height", 600}, {"features", QJsonArray{"tiles", "x"}}};
    board.setReplies(QStringLiteral("poll"), {{200, helloAnswer(hello)}, {200, "{}"}});
    start({"tiles", "modifiers"});
    ASSERT_TRUE(waitFor([&] { return board.requests(QStringLiteral("push")).size() == 1; }));

    // {"features":["modifiers","tiles"],"type":"caps"}
    EXPECT_EQ(board.requests(QStringLiteral("push")).value(0).bytes,
              R"({"kind":"json","role":"viewer","sessionId":"s1","token":"t1","payload":"eyJmZWF0dXJlcyI6WyJtb2RpZmllcnMiLCJ0aWxlcyJdLCJ0eXBlIjoiY2FwcyJ9"})");
    EXPECT_TRUE(session->peerSupports(u"tiles"));
    EXPECT_FALSE(session->peerSupports(u"modifiers"));
}

TEST_F(ViewerSessionTest, Pictures_LargerThanTheHelloAllowsAreRefused)
{
    // Three pixels per point: a 200 x 100 display gives pictures of at most 600 x 300. Before the
    // hello only the display-sized bound holds.
    const auto picture = [](QSize size) {
        return QJsonObject{{"kind", "jpeg"}, {"payload", QString::fromLatin1(Base64::encode(TestPictures::jpeg(size, Qt::red)))}};
    };
    const QJsonObject hello{{"type", "hello"}, {"width", 200}, {"height", 100}};
    const QJsonArray frames{picture({640, 320}),
                            QJsonObject{{"kind", "json"}, {"payload", QString::fromLatin1(Base64::encode(QJsonDocument(hello).toJson()))}},
                            picture({601, 300}), picture({600, 301}), picture({600, 300})};
    board.setReplies(QStringLiteral("poll"), {{200, QJsonDocument(QJsonObject{{"frames", frames}}).toJson()}, {200, "{}"}});
    start();
    ASSERT_TRUE(waitFor([&] { return board.requests(QStringLiteral("poll")).size() >= 2; }));

    EXPECT_EQ(listener.log.filter(QRegularExpression("^(frame|size) ")),
              (QStringList{"frame 640x320", "size 200x100", "frame 600x300"}));
}

TEST_F(ViewerSessionTest, Stopped_WritesNothingMore)
{
    board.hold(QStringLiteral("connect"));
    start();
    ASSERT_TRUE(waitFor([&] { return board.heldCount() == 1; }));
    const QStringList before = listener.log;

    session.reset();
    board.releaseHeld(200, R"({"sessionId":"s1","sessionToken":"t1"})");
    QTest::qWait(150);

    EXPECT_EQ(listener.log, before);
    EXPECT_TRUE(board.requests(QStringLiteral("poll")).isEmpty());
}

} // namespace
