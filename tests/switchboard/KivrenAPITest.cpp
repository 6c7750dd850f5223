#include "KivrenAPI.h"
#include "LoopbackHttpServer.h"

#include <QCoroTask>
#include <QCoroTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QProcess>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>
#include <stop_token>

using namespace std::chrono_literals;
using Reply = LoopbackHttpServer::Reply;

namespace {

KivrenAnswer postNow(KivrenAPI &api, const QString &path, const QJsonObject &body = {})
{
    return QCoro::waitFor(api.post(path, body));
}

QJsonObject parse(const QByteArray &json)
{
    return QJsonDocument::fromJson(json).object();
}

class KivrenAPITest : public ::testing::Test
{
protected:
    LoopbackHttpServer server;
};

// How one canned answer reads to the caller.
struct AnswerCase
{
    const char *name;
    Reply reply;
    std::optional<KivrenError> error; // nullopt: success
    QJsonObject object;

    friend void PrintTo(const AnswerCase &row, std::ostream *out) { *out << row.name; }
};

class KivrenAPIAnswer : public KivrenAPITest, public ::testing::WithParamInterface<AnswerCase>
{
};

TEST_P(KivrenAPIAnswer, Post_ReadsAnswer)
{
    const AnswerCase &c = GetParam();
    server.route("/v1/x", c.reply);
    KivrenAPI api(server.origin());

    const KivrenAnswer answer = postNow(api, QStringLiteral("x"), {{"id", "123456789"}});

    EXPECT_EQ(answer.error, c.error);
    EXPECT_EQ(answer.object, c.object);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, KivrenAPIAnswer,
    ::testing::Values(
        AnswerCase{"ObjectOn200", Reply::with(200, R"({"found":true,"name":"Desk"})"), std::nullopt,
                   {{"found", true}, {"name", "Desk"}}},
        AnswerCase{"EmptyOn204", Reply::with(204), std::nullopt, {}},
        AnswerCase{"EmptyOn200", Reply::with(200), std::nullopt, {}},
        AnswerCase{"NonJsonOn200", Reply::with(200, "<html>ok</html>"), std::nullopt, {}},
        AnswerCase{"ArrayOn200", Reply::with(200, "[1,2]"), std::nullopt, {}},
        AnswerCase{"ErrorTextOn409", Reply::with(409, R"({"error":"That PC is offline"})"),
                   KivrenError::kivren(409, "That PC is offline"), {}},
        AnswerCase{"HtmlOn500", Reply::with(500, "<html><body>boom</body></html>"), KivrenError::kivren(500, "HTTP 500"), {}},
        AnswerCase{"NonTextErrorOn403", Reply::with(403, R"({"error":42})"), KivrenError::kivren(403, "HTTP 403"), {}},
        // A cloud address that points at an ssh port.
        AnswerCase{"NotHttp", Reply::rawBytes("SSH-2.0-OpenSSH_9.2p1 Debian-2\r\n"),
                   KivrenError::url(KivrenError::badServerResponse,
                                    "The server did not answer in HTTP. Check that the cloud address is a switchboard's."),
                   {}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(KivrenAPITest, Post_SendsCompactJsonWithoutExpect)
{
    server.route("/v1/lookup", Reply::with(200, "{}"));
    KivrenAPI api(server.origin());
    // Large enough that curl would ask for "100 Continue" if allowed to.
    const QString big(200 * 1024, u'a');

    ASSERT_TRUE(postNow(api, QStringLiteral("lookup"), {{"id", "123456789"}, {"blob", big}}).ok());

    ASSERT_EQ(server.requests().size(), 1);
    const auto &request = server.requests().front();
    EXPECT_EQ(request.requestLine, "POST /v1/lookup HTTP/1.1");
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_EQ(request.header("Expect"), "");
    EXPECT_FALSE(request.body.contains('\n'));
    EXPECT_EQ(parse(request.body), (QJsonObject{{"id", "123456789"}, {"blob", big}}));
}

TEST_F(KivrenAPITest, PostBytes_SendsTheBodyAsGiven)
{
    server.route("/v1/push", Reply::with(200, R"({"ok":true})"));
    KivrenAPI api(server.origin());
    // Members in an order Qt's writer would never choose: nothing is parsed or rewritten.
    const QByteArray body = R"({"sessionId":"s","kind":"jpeg","payload":")" + QByteArray(200 * 1024, 'A') + R"("})";

    const KivrenAnswer answer = QCoro::waitFor(api.postBytes(QStringLiteral("push"), body));

    ASSERT_TRUE(answer.ok());
    EXPECT_EQ(answer.object, (QJsonObject{{"ok", true}}));
    ASSERT_EQ(server.requests().size(), 1);
    const auto &request = server.requests().front();
    EXPECT_EQ(request.requestLine, "POST /v1/push HTTP/1.1");
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_EQ(request.header("Expect"), "");
    EXPECT_EQ(request.body, body);
}

TEST_F(KivrenAPITest, Base_SlashesTrimmed)
{
    server.route("/v1/poll", Reply::with(200, "{}"));
    KivrenAPI api(server.origin() + "///");
    EXPECT_EQ(api.base(), server.origin());
    api.setBase("/" + server.origin() + "/");
    EXPECT_EQ(api.base(), server.origin());

    ASSERT_TRUE(postNow(api, QStringLiteral("poll")).ok());
    ASSERT_EQ(server.requests().size(), 1);
    EXPECT_EQ(server.requests().front().requestLine, "POST /v1/poll HTTP/1.1");
}

TEST_F(KivrenAPITest, Post_ConnectionReusedAcrossRequests)
{
    server.route("/v1/push", Reply::with(200, "{}"));
    KivrenAPI api(server.origin());
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(postNow(api, QStringLiteral("push")).ok());
    EXPECT_EQ(server.connectionsAccepted(), 1);
}

struct BadBaseCase
{
    const char *name;
    const char *base;

    friend void PrintTo(const BadBaseCase &row, std::ostream *out) { *out << row.name; }
};

class KivrenAPIBadBase : public ::testing::TestWithParam<BadBaseCase>
{
};

TEST_P(KivrenAPIBadBase, Post_FailsWithBadUrl)
{
    KivrenAPI api(QString::fromUtf8(GetParam().base));
    const KivrenAnswer answer = postNow(api, QStringLiteral("lookup"));
    ASSERT_FALSE(answer.ok());
    EXPECT_EQ(*answer.error, KivrenError::url(KivrenError::badURL, "unsupported URL"));
}

INSTANTIATE_TEST_SUITE_P(Bases, KivrenAPIBadBase,
                         ::testing::Values(BadBaseCase{"Empty", ""}, BadBaseCase{"NoScheme", "127.0.0.1:17880"},
                                           BadBaseCase{"FileScheme", "file:///etc"},
                                           BadBaseCase{"FtpScheme", "ftp://127.0.0.1"},
                                           BadBaseCase{"NoHost", "http://"},
                                           BadBaseCase{"Space", "http://exa mple.com"}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(KivrenAPITest, Post_RefusedConnectionIsReadable)
{
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        closedPort = probe.serverPort();
    }
    KivrenAPI api(QStringLiteral("http://127.0.0.1:%1").arg(closedPort));
    const KivrenAnswer answer = postNow(api, QStringLiteral("lookup"));
    ASSERT_FALSE(answer.ok());
    EXPECT_EQ(*answer.error, KivrenError::url(KivrenError::cannotConnectToHost, "Could not connect to the server."));
}

struct RedirectCase
{
    const char *name;
    int status;
    QByteArray method; // what reaches the target
    bool bodyKept;

    friend void PrintTo(const RedirectCase &row, std::ostream *out) { *out << row.name; }
};

class KivrenAPIRedirect : public KivrenAPITest, public ::testing::WithParamInterface<RedirectCase>
{
};

TEST_P(KivrenAPIRedirect, Post_FollowsRedirect)
{
    const RedirectCase &c = GetParam();
    server.route("/v1/old", Reply::redirect(c.status, "/v1/new"));
    server.route("/v1/new", Reply::with(200, R"({"moved":true})"));
    KivrenAPI api(server.origin());

    const KivrenAnswer answer = postNow(api, QStringLiteral("old"), {{"k", "v"}});

    EXPECT_TRUE(answer.ok());
    EXPECT_EQ(answer.object, (QJsonObject{{"moved", true}}));
    ASSERT_EQ(server.requests().size(), 2);
    EXPECT_EQ(server.requests()[1].method, c.method);
    EXPECT_EQ(server.requests()[1].body.isEmpty(), !c.bodyKept);
}

INSTANTIATE_TEST_SUITE_P(Statuses, KivrenAPIRedirect,
                         ::testing::Values(RedirectCase{"Moved301", 301, "GET", false},
                                           RedirectCase{"SeeOther303", 303, "GET", false},
                                           RedirectCase{"Temporary307", 307, "POST", true},
                                           RedirectCase{"Permanent308", 308, "POST", true}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(KivrenAPITest, Post_HangTimesOutNotCancelled)
{
    server.route("/v1/poll", Reply::hanging());
    KivrenAPI api(server.origin());
    api.setTimeout(300ms);

    const KivrenAnswer answer = postNow(api, QStringLiteral("poll"));

    ASSERT_FALSE(answer.ok());
    EXPECT_EQ(answer.error->code, KivrenError::timedOut);
    EXPECT_EQ(answer.error->description, "The request timed out.");
}

// An answer arriving slowly but steadily is never cut, however long it takes in all; one that
// stops arriving ends once the timeout passes without progress.
struct SlowAnswerCase
{
    const char *name;
    qsizetype sentBytes; // -1: the whole answer
    bool arrives;

    friend void PrintTo(const SlowAnswerCase &row, std::ostream *out) { *out << row.name; }
};

class KivrenAPISlowAnswer : public KivrenAPITest, public ::testing::WithParamInterface<SlowAnswerCase>
{
};

TEST_P(KivrenAPISlowAnswer, Post_TimeoutCountsOnlyTimeWithoutProgress)
{
    const SlowAnswerCase &c = GetParam();
    // 48 KB in 2 KB pieces, one every 100 ms: about 2.4 s in all, three times the timeout, with
    // never more than an eighth of it between two pieces.
    const QByteArray body = R"({"blob":")" + QByteArray(48 * 1024, 'a') + R"("})";
    server.route("/v1/poll", Reply::with(200, body).inPieces(2048, 100ms).stoppingAfter(c.sentBytes));
    KivrenAPI api(server.origin());
    api.setTimeout(800ms);

    const KivrenAnswer answer = postNow(api, QStringLiteral("poll"));

    if (c.arrives) {
        ASSERT_TRUE(answer.ok()) << answer.error->description.toStdString();
        EXPECT_EQ(answer.object.value("blob").toString().size(), 48 * 1024);
    } else {
        ASSERT_FALSE(answer.ok());
        EXPECT_EQ(*answer.error, KivrenError::url(KivrenError::timedOut, "The request timed out."));
    }
}

INSTANTIATE_TEST_SUITE_P(Pieces, KivrenAPISlowAnswer,
                         ::testing::Values(SlowAnswerCase{"SteadyToTheEnd", -1, true},
                                           SlowAnswerCase{"StopsHalfway", 24 * 1024, false}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(KivrenAPITest, Post_StopMidFlightCancels)
{
    server.route("/v1/poll", Reply::hanging());
    KivrenAPI api(server.origin());
    std::stop_source stop;
    // Stopped once the request has reached the server, however long that takes on a busy machine.
    QTimer arrived;
    QObject::connect(&arrived, &QTimer::timeout, [&] {
        if (!server.requests().isEmpty())
            stop.request_stop();
    });
    arrived.start(10ms);

    const KivrenAnswer answer = QCoro::waitFor(api.post(QStringLiteral("poll"), {}, stop.get_token()));

    ASSERT_FALSE(answer.ok());
    EXPECT_EQ(answer.error->code, KivrenError::cancelled);
    EXPECT_EQ(answer.error->description, "cancelled");
    EXPECT_EQ(server.requests().size(), 1);
}

TEST_F(KivrenAPITest, Post_StopBeforeStartSendsNothing)
{
    server.route("/v1/poll", Reply::with(200, "{}"));
    KivrenAPI api(server.origin());
    std::stop_source stop;
    stop.request_stop();

    const KivrenAnswer answer = QCoro::waitFor(api.post(QStringLiteral("poll"), {}, stop.get_token()));

    ASSERT_FALSE(answer.ok());
    EXPECT_EQ(answer.error->code, KivrenError::cancelled);
    EXPECT_TRUE(server.requests().isEmpty());
}

QCoro::Task<QList<KivrenAnswer>> postSeveral(KivrenAPI &api)
{
    // Started together, the slow one first: answers must not wait for each other.
    auto slow = api.post(QStringLiteral("slow"), {});
    auto a = api.post(QStringLiteral("a"), {});
    auto b = api.post(QStringLiteral("b"), {});
    QList<KivrenAnswer> answers;
    answers.append(co_await a);
    answers.append(co_await b);
    answers.append(co_await slow);
    co_return answers;
}

TEST_F(KivrenAPITest, Post_SeveralInFlight)
{
    server.route("/v1/slow", Reply::hanging());
    server.route("/v1/a", Reply::with(200, R"({"n":1})"));
    server.route("/v1/b", Reply::with(200, R"({"n":2})"));
    KivrenAPI api(server.origin());
    api.setTimeout(1500ms);

    const QList<KivrenAnswer> answers = QCoro::waitFor(postSeveral(api));

    ASSERT_EQ(answers.size(), 3);
    EXPECT_EQ(answers[0].object, (QJsonObject{{"n", 1}}));
    EXPECT_EQ(answers[1].object, (QJsonObject{{"n", 2}}));
    EXPECT_TRUE(answers[2].error && answers[2].error->code == KivrenError::timedOut);
}

QCoro::Task<KivrenAnswer> postThenDrop(std::unique_ptr<KivrenAPI> api, std::stop_token stop)
{
    auto request = api->post(QStringLiteral("poll"), {{"since", 0}}, stop);
    api.reset(); // the owner goes away while its request is in flight
    co_return co_await request;
}

TEST_F(KivrenAPITest, Post_OwnerDestroyedMidRequest)
{
    server.route("/v1/poll", Reply::with(200, R"({"frames":[]})"));
    const KivrenAnswer answer =
        QCoro::waitFor(postThenDrop(std::make_unique<KivrenAPI>(server.origin()), {}));
    EXPECT_TRUE(answer.ok());
    EXPECT_EQ(answer.object, (QJsonObject{{"frames", QJsonArray{}}}));
}

TEST_F(KivrenAPITest, Post_OwnerDestroyedThenStopped)
{
    // An owner that stops its requests from its destructor, as the session objects do.
    server.route("/v1/poll", Reply::hanging());
    std::stop_source stop;
    auto api = std::make_unique<KivrenAPI>(server.origin());
    auto task = api->post(QStringLiteral("poll"), {}, stop.get_token());
    QTimer::singleShot(30ms, [&] {
        api.reset();
        stop.request_stop();
    });
    const KivrenAnswer answer = QCoro::waitFor(std::move(task));
    ASSERT_FALSE(answer.ok());
    EXPECT_EQ(answer.error->code, KivrenError::cancelled);
}

TEST(KivrenAPITls, Post_UntrustedCertificateIsReadable)
{
    // A throw-away self-signed certificate: TLS is set up, and verification refuses it.
    QTemporaryDir dir;
    const QString key = dir.filePath("key.pem");
    const QString cert = dir.filePath("cert.pem");
    QProcess openssl;
    openssl.start("openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                              "-keyout", key, "-out", cert, "-days", "1", "-subj", "/CN=127.0.0.1", "-addext",
                              "subjectAltName=IP:127.0.0.1"});
    if (!openssl.waitForFinished(20000) || openssl.exitCode() != 0)
        GTEST_SKIP() << "openssl could not make a test certificate";
    QFile keyFile(key);
    QFile certFile(cert);
    ASSERT_TRUE(keyFile.open(QIODevice::ReadOnly) && certFile.open(QIODevice::ReadOnly));
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setPrivateKey(QSslKey(keyFile.readAll(), QSsl::Ec));
    tls.setLocalCertificate(QSslCertificate(certFile.readAll()));
    QSslServer server;
    server.setSslConfiguration(tls);
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));

    KivrenAPI api(QStringLiteral("https://127.0.0.1:%1").arg(server.serverPort()));
    const KivrenAnswer answer = postNow(api, QStringLiteral("lookup"));

    ASSERT_FALSE(answer.ok());
    EXPECT_EQ(*answer.error, KivrenError::url(KivrenError::serverCertificateUntrusted,
                                              "The certificate for this server is invalid."));
}

} // namespace
