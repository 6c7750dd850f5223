// The host service against the real switchboard (node cloud/server.mjs on a free loopback
// port, started with a host key as the app starts its own), with the viewer's side played by the
// test through its own request transport; and against listeners that are not that switchboard.
#include "CannedSwitchboard.h"
#include "MacHostServiceFakes.h"
#include "SessionAdmission.h"
#include "SwitchboardProcess.h"

#include "Base64.h"
#include "HostIdentity.h"
#include "KivrenAPI.h"
#include "KivrenIds.h"
#include "KivrenTunnel.h"
#include "MacInput.h"
#include "SessionProtocol.h"
#include "SwitchboardRequests.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include <QCoroTask>

#include <gtest/gtest.h>

namespace {

const QString starting = QStringLiteral("Getting ready\u2026");

// One viewer, one request at a time.
class ScriptedViewer
{
public:
    explicit ScriptedViewer(const QString &origin)
        : m_api(origin)
    {
    }

    KivrenAnswer post(const QString &path, const QJsonObject &body) { return QCoro::waitFor(m_api.post(path, body)); }

    bool connect(const QString &id, const QString &password, const QString &clientName)
    {
        const QJsonObject lookup = post(QStringLiteral("lookup"), {{"id", id}}).object;
        if (!lookup.value("found").toBool() || !lookup.value("online").toBool())
            return false;
        const KivrenAnswer opened = post(QStringLiteral("connect"), {{"id", id},
                                                                     {"password", password},
                                                                     {"clientName", clientName},
                                                                     {"clientPlatform", "macos"}});
        connectAnswer = opened.object;
        sessionId = opened.object.value("sessionId").toString();
        token = opened.object.value("sessionToken").toString();
        return opened.ok() && !sessionId.isEmpty();
    }

    // Polls until `done` holds for everything received so far.
    bool pollUntil(const std::function<bool()> &done)
    {
        return QTest::qWaitFor(
            [&] {
                const KivrenAnswer answer = post(
                    QStringLiteral("poll"), SwitchboardRequests::toJson(SwitchboardRequests::Poll{{sessionId, token}, SessionProtocol::Role::viewer, m_since}));
                if (!answer.ok())
                    error = answer.error->description;
                if (answer.object.value("since").isDouble())
                    m_since = answer.object.value("since").toInteger();
                for (const SessionProtocol::Frame &frame : SessionProtocol::decodeFrames(answer.object)) {
                    if (frame.kind == SessionProtocol::kindJpeg)
                        pictures << frame.bytes;
                    else if (frame.message)
                        messages << *frame.message;
                }
                return done();
            },
            10000);
    }

    // Any JSON object, also one that is not a message this program sends.
    bool push(const QJsonObject &message)
    {
        const SessionProtocol::Envelope frame{SessionProtocol::kindJson,
                                              Base64::encode(QJsonDocument(message).toJson(QJsonDocument::Compact))};
        const QByteArray body = SwitchboardRequests::toBytes({{sessionId, token}, SessionProtocol::Role::viewer, frame});
        return QCoro::waitFor(m_api.postBytes(QStringLiteral("push"), body)).ok();
    }

    bool close() { return post(QStringLiteral("close"), {{"sessionId", sessionId}, {"token", token}}).ok(); }

    QString sessionId;
    QString token;
    QString error; // of the last poll that failed
    QJsonObject connectAnswer;
    QList<QJsonObject> messages;
    QList<QByteArray> pictures;

private:
    KivrenAPI m_api;
    qint64 m_since = 0;
};

class MacHostServiceSwitchboard : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(switchboard.running());
        MacInput::setLeftDown(false);
    }
    void TearDown() override { MacInput::setLeftDown(false); }

    QString localStatus(const MacHostService &service) const
    {
        return QStringLiteral("Waiting for an internet address \u00B7 ") + KivrenIds::formatId(service.publicId());
    }

    // A host that proves the fixture's switchboard on every pass, as the app proves its child.
    std::unique_ptr<MacHostService> make(MacHostService::Timing timing)
    {
        return bench.make(switchboard.origin(), timing, key);
    }

    HostKey key = HostKey::generate();
    SwitchboardProcess switchboard{key.environmentValue()};
    HostServiceBench bench;
};

TEST_F(MacHostServiceSwitchboard, Registration_StatusFollowsSwitchboard)
{
    const auto service = make(HostServiceBench::fastTiming());
    QStringList statuses{service->status()};
    QObject::connect(service.get(), &MacHostService::statusChanged, [&](const QString &status) { statuses << status; });
    EXPECT_FALSE(service->switchboardProven());
    EXPECT_EQ(service->statusTone(), StatusTone::warning);

    ASSERT_TRUE(QTest::qWaitFor([&] { return service->status() == localStatus(*service); }, 10000));
    EXPECT_EQ(statuses, (QStringList{starting, localStatus(*service)}));
    EXPECT_TRUE(service->switchboardProven());
    EXPECT_EQ(service->statusTone(), StatusTone::ok);

    // Nothing listening: the loop keeps trying and says so. A challenge that gets no answer
    // proves nothing either way.
    const auto unreachable = bench.make(QStringLiteral("http://127.0.0.1:1"), HostServiceBench::fastTiming(), key);
    QTest::qWait(300);
    EXPECT_EQ(unreachable->status(), starting);
    EXPECT_EQ(unreachable->statusTone(), StatusTone::warning);
}

TEST_F(MacHostServiceSwitchboard, RotatePassword_RegistersAtOnce)
{
    // The loop never runs: the switchboard learns passwords only from explicit registrations.
    const auto service = make(HostServiceBench::quietTiming());
    HostServiceBench::runToEnd([&](std::stop_token stop) { return service->registration().registerHost(stop); });
    HostServiceBench::runToEnd([&](std::stop_token stop) { return service->registration().heartbeat(stop); }); // online for the viewer's lookup
    ASSERT_EQ(service->status(), localStatus(*service));
    const QString before = service->password();

    service->rotatePassword();

    EXPECT_NE(service->password(), before);
    EXPECT_EQ(bench.settings().text(HostIdentity::passwordKey), service->password());
    QTest::qWait(500); // the registration rotatePassword started, on loopback
    ScriptedViewer viewer(switchboard.origin());
    EXPECT_TRUE(viewer.connect(service->publicId(), service->password(), QStringLiteral("Alice")));
    ScriptedViewer stale(switchboard.origin());
    EXPECT_FALSE(stale.connect(service->publicId(), before, QStringLiteral("Alice")));
}

TEST_F(MacHostServiceSwitchboard, Origin_ReportedByTunnelIsStoredAndShown)
{
    const auto service = make(HostServiceBench::fastTiming());
    ASSERT_TRUE(QTest::qWaitFor([&] { return service->status() == localStatus(*service); }, 10000));

    service->tunnel().handleChunk("INF |  https://calm-sea.trycloudflare.com  |\n");

    EXPECT_EQ(service->origin(), QStringLiteral("https://calm-sea.trycloudflare.com"));
    EXPECT_EQ(bench.settings().text(HostRegistration::cloudKey), QStringLiteral("https://calm-sea.trycloudflare.com"));
    const QString ready = QStringLiteral("Ready anywhere \u00B7 ") + KivrenIds::formatId(service->publicId());
    ASSERT_TRUE(QTest::qWaitFor([&] { return service->status() == ready; }, 10000));
    // Later registrations leave the public status alone.
    QTest::qWait(300);
    EXPECT_EQ(service->status(), ready);
}

// The switchboard hands the tunnel's origin to hosts in heartbeat answers and takes it only from
// this machine's host: reported before the host had registered, it arrives with the registration;
// a program on this machine without the host's proof cannot replace it, even knowing ID and token.
TEST_F(MacHostServiceSwitchboard, Origin_TakenFromThisHostOnly)
{
    const auto service = make(HostServiceBench::quietTiming());
    const QString published = QStringLiteral("https://calm-sea.trycloudflare.com");
    service->tunnel().handleChunk("INF |  https://calm-sea.trycloudflare.com  |\n");
    KivrenAPI stranger(switchboard.origin());
    const QJsonObject host{{"id", service->publicId()}, {"hostToken", service->hostToken()}};
    const auto handedOut = [&] {
        return QCoro::waitFor(stranger.post(QStringLiteral("heartbeat"), host)).object.value("origin").toString();
    };

    HostServiceBench::runToEnd([&](std::stop_token stop) { return service->registration().registerHost(stop); });
    EXPECT_EQ(handedOut(), published);

    QJsonObject forged = host;
    forged.insert("origin", "https://evil.example");
    const KivrenAnswer refused = QCoro::waitFor(stranger.post(QStringLiteral("origin"), forged));
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error->code, 403);
    EXPECT_EQ(handedOut(), published);
}

// The whole road of a session: connect, pending, claim, hello and pictures, input, close;
// a second viewer waits its turn.
TEST_F(MacHostServiceSwitchboard, Session_RunsFromConnectUntilViewerCloses)
{
    const auto service = make(HostServiceBench::fastTiming());
    QStringList statuses;
    QObject::connect(service.get(), &MacHostService::statusChanged, [&](const QString &status) { statuses << status; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return service->status() == localStatus(*service); }, 10000));

    ScriptedViewer alice(switchboard.origin());
    ASSERT_TRUE(alice.connect(service->publicId(), service->password(), QStringLiteral("Alice")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return service->live(); }, 10000));
    EXPECT_EQ(service->status(), QStringLiteral("Connected \u00B7 Alice \u00B7 Not encrypted"));
    EXPECT_EQ(service->clientName(), QStringLiteral("Alice"));

    // Hello with the display size in points, then a picture, and another once the screen changed.
    ASSERT_TRUE(alice.pollUntil([&] { return !alice.messages.isEmpty() && !alice.pictures.isEmpty(); }));
    bench.desktop.shade = 0x20;
    ASSERT_TRUE(alice.pollUntil([&] { return alice.pictures.size() >= 2; }));
    const QJsonObject hello = alice.messages.first();
    EXPECT_EQ(hello.value("type").toString(), QStringLiteral("hello"));
    EXPECT_EQ(hello.value("width").toDouble(), 1512);
    EXPECT_EQ(hello.value("height").toDouble(), 982);
    EXPECT_EQ(hello.value("platform").toString(), QStringLiteral("macos"));
    EXPECT_TRUE(alice.pictures.first().startsWith("\xff\xd8\xff"));

    // Input lands on the display at its global position.
    ASSERT_TRUE(alice.push({{"type", "input"}, {"kind", "move"}, {"x", 0.5}, {"y", 0.5}}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return bench.desktop.events.contains(QStringLiteral("warp 766,511")); }, 10000));
    // The viewer's additions are kept for the session; the hello named the host's.
    EXPECT_EQ(hello.value("features"), (QJsonArray{"hover", "keys", "modifiers"}));
    ASSERT_TRUE(alice.push({{"type", "caps"}, {"features", QJsonArray{"tiles"}}}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return service->session() && service->session()->peerSupports(u"tiles"); }, 10000));

    // A second viewer while Alice is connected is told at once that this computer is busy.
    ScriptedViewer bob(switchboard.origin());
    ASSERT_TRUE(bob.connect(service->publicId(), service->password(), QStringLiteral("Bob")));
    ASSERT_TRUE(bob.pollUntil([&] { return !bob.error.isEmpty(); }));
    EXPECT_EQ(bob.error, SessionAdmission::busyReason);
    EXPECT_EQ(service->clientName(), QStringLiteral("Alice"));
    EXPECT_EQ(service->status(), QStringLiteral("Connected \u00B7 Alice \u00B7 Not encrypted"));
    ASSERT_EQ(service->sessions().size(), 1);
    EXPECT_EQ(service->sessions().first().clientName, QStringLiteral("Alice"));
    EXPECT_EQ(service->sessions().first().clientPlatform, QStringLiteral("macos"));
    EXPECT_FALSE(service->sessions().first().encrypted);

    // Alice leaves: the session ends; the next viewer is taken on.
    statuses.clear();
    ASSERT_TRUE(alice.close());
    ASSERT_TRUE(QTest::qWaitFor([&] { return statuses.contains(QStringLiteral("Waiting for an internet address")); }, 10000));
    EXPECT_TRUE(service->sessions().isEmpty());
    ScriptedViewer carol(switchboard.origin());
    ASSERT_TRUE(carol.connect(service->publicId(), service->password(), QStringLiteral("Carol")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return service->clientName() == QStringLiteral("Carol") && service->live(); }, 10000));
    EXPECT_EQ(service->status(), QStringLiteral("Connected \u00B7 Carol \u00B7 Not encrypted"));
    ASSERT_TRUE(carol.pollUntil([&] { return !carol.messages.isEmpty(); }));

    ASSERT_TRUE(carol.close());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !service->live(); }, 10000));
    QStringList outcomes;
    for (const AttemptLog::Entry &attempt : service->attempts())
        outcomes << QStringLiteral("%1 %2").arg(attempt.clientName.value_or(QString()), AttemptLog::outcomeName(attempt.outcome));
    EXPECT_EQ(outcomes, (QStringList{"Alice allowed", "Bob busy", "Carol allowed"}));
}

// "Ask me each time": the switchboard tells the viewer it waits for the person here, the person is
// asked with who and from where, and the answer, or none in time, decides; the viewer reads why
// it was not let in, and every attempt is logged.
struct AskCase
{
    const char *name;
    std::optional<ConnectionPrompt::Answer> answer; // none: nobody answers
    QString viewerError;                             // empty: let in, pictures flow
    AttemptLog::Outcome logged;
};

void PrintTo(const AskCase &row, std::ostream *out)
{
    *out << row.name;
}

class MacHostServiceAsk : public MacHostServiceSwitchboard, public testing::WithParamInterface<AskCase>
{
};

TEST_P(MacHostServiceAsk, AskFirst_TheAnswerDecides)
{
    const AskCase &row = GetParam();
    using namespace std::chrono_literals;
    MacHostService::Timing timing = HostServiceBench::fastTiming();
    timing.askWithin = 1500ms;
    const auto service = make(timing);
    EXPECT_FALSE(service->askFirst());
    service->setAskFirst(true);
    EXPECT_EQ(bench.settings().text(MacHostService::askFirstKey), QStringLiteral("true"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return service->status() == localStatus(*service); }, 10000));

    ScriptedViewer alice(switchboard.origin());
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return alice.connect(service->publicId(), service->password(), QStringLiteral("Alice"))
                && alice.connectAnswer.value("unattended") == QJsonValue(false);
        },
        10000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !service->asking().isEmpty(); }, 10000));
    EXPECT_EQ(service->asking(), QStringLiteral("Alice (macos) wants to see and control this computer, "
                                                "from an address the switchboard could not tell."));
    // Not let in while the question is open.
    EXPECT_FALSE(service->live());
    alice.pollUntil([&] { return true; });
    EXPECT_TRUE(alice.messages.isEmpty());

    if (row.answer == ConnectionPrompt::Answer::allow)
        service->allowViewer();
    else if (row.answer == ConnectionPrompt::Answer::refuse)
        service->refuseViewer();
    if (row.viewerError.isEmpty()) {
        EXPECT_TRUE(service->asking().isEmpty());
        ASSERT_TRUE(alice.pollUntil([&] { return !alice.pictures.isEmpty(); }));
        EXPECT_TRUE(service->live());
    } else {
        ASSERT_TRUE(alice.pollUntil([&] { return !alice.error.isEmpty(); }));
        EXPECT_EQ(alice.error, row.viewerError);
        EXPECT_TRUE(service->asking().isEmpty());
        EXPECT_FALSE(service->live());
    }
    ASSERT_EQ(service->attempts().size(), 1);
    EXPECT_EQ(service->attempts().first().outcome, row.logged);
    EXPECT_EQ(service->attempts().first().clientName, QStringLiteral("Alice"));

    // Back to the password alone: the next viewer is let in without a question.
    service->setAskFirst(false);
    if (row.viewerError.isEmpty())
        ASSERT_TRUE(alice.close());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !service->live(); }, 10000));
    ScriptedViewer bob(switchboard.origin());
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return bob.connect(service->publicId(), service->password(), QStringLiteral("Bob"))
                && !bob.connectAnswer.contains("unattended");
        },
        10000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return service->clientName() == QStringLiteral("Bob"); }, 10000));
    EXPECT_TRUE(service->asking().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Answers, MacHostServiceAsk,
    testing::Values(AskCase{"Allowed", ConnectionPrompt::Answer::allow, QString(), AttemptLog::Outcome::allowed},
                    AskCase{"Refused", ConnectionPrompt::Answer::refuse, ConnectionPrompt::refusedReason,
                            AttemptLog::Outcome::refused},
                    AskCase{"NobodyAnswers", std::nullopt, ConnectionPrompt::timedOutReason,
                            AttemptLog::Outcome::notAnswered}),
    [](const auto &info) { return std::string(info.param.name); });

// The person ends a session from the list, or makes a new password: the viewer reads why.
TEST_F(MacHostServiceSwitchboard, End_AndNewPassword_EndTheSessionWithTheReason)
{
    const auto service = make(HostServiceBench::fastTiming());
    ScriptedViewer alice(switchboard.origin());
    ASSERT_TRUE(QTest::qWaitFor([&] { return alice.connect(service->publicId(), service->password(), "Alice"); }, 10000));
    ASSERT_TRUE(alice.pollUntil([&] { return !alice.pictures.isEmpty(); }));
    ASSERT_EQ(service->sessions().size(), 1);
    service->endSession(QStringLiteral("not-a-session"));
    EXPECT_TRUE(service->live());
    service->endSession(service->sessions().first().sessionId);
    EXPECT_FALSE(service->live());
    EXPECT_TRUE(service->sessions().isEmpty());
    ASSERT_TRUE(alice.pollUntil([&] { return !alice.error.isEmpty(); }));
    EXPECT_EQ(alice.error, SessionAdmission::endedReason);

    ScriptedViewer bob(switchboard.origin());
    ASSERT_TRUE(QTest::qWaitFor([&] { return bob.connect(service->publicId(), service->password(), "Bob"); }, 10000));
    ASSERT_TRUE(bob.pollUntil([&] { return !bob.pictures.isEmpty(); }));
    const QString oldPassword = service->password();
    service->rotatePassword();
    EXPECT_FALSE(service->live());
    ASSERT_TRUE(bob.pollUntil([&] { return !bob.error.isEmpty(); }));
    EXPECT_EQ(bob.error, SessionAdmission::passwordChangedReason);
    ScriptedViewer again(switchboard.origin());
    EXPECT_FALSE(again.connect(service->publicId(), oldPassword, "Bob"));
}

// View only: the viewer's input is dropped on this computer while its pictures keep coming;
// control given back, its input lands again.
TEST_F(MacHostServiceSwitchboard, ViewOnly_InputDroppedPicturesFlow)
{
    const auto service = make(HostServiceBench::fastTiming());
    ScriptedViewer alice(switchboard.origin());
    ASSERT_TRUE(QTest::qWaitFor([&] { return alice.connect(service->publicId(), service->password(), "Alice"); }, 10000));
    ASSERT_TRUE(alice.pollUntil([&] { return !alice.pictures.isEmpty(); }));
    const QString id = service->sessions().first().sessionId;
    service->setViewOnly(id, true);
    EXPECT_TRUE(service->sessions().first().viewOnly);
    EXPECT_TRUE(service->session()->viewOnly());

    ASSERT_TRUE(alice.push({{"type", "input"}, {"kind", "move"}, {"x", 0.5}, {"y", 0.5}}));
    ASSERT_TRUE(alice.push({{"type", "text"}, {"key", "rm -rf"}}));
    const qsizetype pictures = alice.pictures.size();
    bench.desktop.shade = 0x30;
    ASSERT_TRUE(alice.pollUntil([&] { return alice.pictures.size() > pictures; }));
    // Well after both messages were polled by the host.
    QTest::qWait(300);
    EXPECT_TRUE(bench.desktop.events.isEmpty()) << bench.desktop.events.join(", ").toStdString();

    service->setViewOnly(id, false);
    EXPECT_FALSE(service->sessions().first().viewOnly);
    ASSERT_TRUE(alice.push({{"type", "input"}, {"kind", "move"}, {"x", 0.5}, {"y", 0.5}}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return bench.desktop.events.contains(QStringLiteral("warp 766,511")); }, 10000));
}

// Wrong passwords and the pause after them reach the host's log from the switchboard, and the log
// is read back by the next run.
TEST_F(MacHostServiceSwitchboard, AttemptLog_FailedConnectsLoggedAndKeptAcrossRestarts)
{
    QString id;
    QString password;
    {
        const auto service = make(HostServiceBench::fastTiming());
        ASSERT_TRUE(QTest::qWaitFor([&] { return service->status() == localStatus(*service); }, 10000));
        id = service->publicId();
        password = service->password();
        ScriptedViewer mallory(switchboard.origin());
        // Five wrong guesses a minute from one address, then it must wait.
        for (int i = 0; i < 6; ++i)
            EXPECT_FALSE(mallory.connect(id, QStringLiteral("ZZZZ-ZZZZ"), QStringLiteral("Mallory")));
        ASSERT_TRUE(QTest::qWaitFor([&] { return service->attempts().size() == 6; }, 10000));
    }
    const auto restarted = make(HostServiceBench::fastTiming());
    ASSERT_EQ(restarted->attempts().size(), 6);
    EXPECT_EQ(restarted->attempts().first().outcome, AttemptLog::Outcome::wrongPassword);
    EXPECT_EQ(restarted->attempts().first().clientName, QStringLiteral("Mallory"));
    EXPECT_EQ(restarted->attempts().last().outcome, AttemptLog::Outcome::lockedOut);
    // The owner lifts the pause: the switchboard forgets the waits.
    ASSERT_TRUE(QTest::qWaitFor([&] { return restarted->status() == localStatus(*restarted); }, 10000));
    ScriptedViewer owner(switchboard.origin());
    EXPECT_FALSE(owner.connect(id, password, QStringLiteral("Owner")));
    restarted->liftLockout();
    ASSERT_TRUE(QTest::qWaitFor([&] { return owner.connect(id, password, QStringLiteral("Owner")); }, 10000));
}

TEST(MacHostServiceLockout, Words_RoundUpToWholeMinutes)
{
    EXPECT_EQ(MacHostService::lockoutWords(1), QStringLiteral("Connections are paused for a minute after wrong passwords"));
    EXPECT_EQ(MacHostService::lockoutWords(60'000), QStringLiteral("Connections are paused for a minute after wrong passwords"));
    EXPECT_EQ(MacHostService::lockoutWords(180'001), QStringLiteral("Connections are paused for 4 minutes after wrong passwords"));
}

TEST_F(MacHostServiceSwitchboard, Session_EndsOnReadyStatusWhenOriginKnown)
{
    const auto service = make(HostServiceBench::fastTiming());
    ASSERT_TRUE(QTest::qWaitFor([&] { return service->status() == localStatus(*service); }, 10000));
    service->tunnel().handleChunk("https://calm-sea.trycloudflare.com\n");
    const QString ready = QStringLiteral("Ready anywhere \u00B7 ") + KivrenIds::formatId(service->publicId());
    ASSERT_TRUE(QTest::qWaitFor([&] { return service->status() == ready; }, 10000));

    ScriptedViewer viewer(switchboard.origin());
    ASSERT_TRUE(viewer.connect(service->publicId(), service->password(), QString()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return service->live(); }, 10000));
    EXPECT_EQ(service->status(), QStringLiteral("Connected \u00B7 Phone \u00B7 Not encrypted"));
    ASSERT_TRUE(viewer.close());

    ASSERT_TRUE(QTest::qWaitFor([&] { return !service->live(); }, 10000));
    EXPECT_EQ(service->status(), ready);
}

// A desktop that shares its screen only once the person at it agreed (Wayland): a viewer
// arriving meanwhile is held, shown nothing, until it does; a refused or broken screen sharing
// ends the session at the switchboard, and the viewer reads why.
struct SharingCase
{
    const char *name;
    DesktopBackend::State atConnect;
    std::optional<DesktopBackend::State> later;
    QString viewerError; // empty: the viewer is greeted and gets pictures
};

void PrintTo(const SharingCase &row, std::ostream *out)
{
    *out << row.name;
}

class MacHostServiceSharing : public MacHostServiceSwitchboard, public testing::WithParamInterface<SharingCase>
{
};

TEST_P(MacHostServiceSharing, Session_HeldUntilSharedAndEndedWithTheReasonWhenNot)
{
    using State = DesktopBackend::State;
    const SharingCase &row = GetParam();
    bench.desktop.drive(row.atConnect);
    const auto service = make(HostServiceBench::fastTiming());
    ScriptedViewer viewer(switchboard.origin());
    ASSERT_TRUE(QTest::qWaitFor([&] { return viewer.connect(service->publicId(), service->password(), "Alice"); }, 10000));

    if (row.atConnect == State::Ready) {
        ASSERT_TRUE(viewer.pollUntil([&] { return !viewer.pictures.isEmpty(); }));
    } else if (row.atConnect == State::WaitingForConsent) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return service->session() != nullptr; }, 10000));
        // Several passes of the held session: it is claimed and polled, nothing is shown.
        QTest::qWait(300);
        ASSERT_TRUE(viewer.pollUntil([] { return true; }));
        EXPECT_TRUE(viewer.error.isEmpty()) << viewer.error.toStdString();
        EXPECT_TRUE(viewer.messages.isEmpty());
        EXPECT_TRUE(viewer.pictures.isEmpty());
        EXPECT_EQ(bench.desktop.captures, 0);
        EXPECT_TRUE(service->live());
        EXPECT_EQ(service->status(), QStringLiteral("Waiting for the person at this computer to allow screen sharing"));
    }
    if (row.later)
        bench.desktop.drive(*row.later);

    if (row.viewerError.isEmpty()) {
        ASSERT_TRUE(viewer.pollUntil([&] { return !viewer.messages.isEmpty() && !viewer.pictures.isEmpty(); }));
        EXPECT_EQ(viewer.messages.first().value("type").toString(), QStringLiteral("hello"));
        EXPECT_EQ(viewer.messages.first().value("width").toDouble(), 1512);
        EXPECT_EQ(service->status(), QStringLiteral("Connected \u00B7 Alice \u00B7 Not encrypted"));
        return;
    }
    ASSERT_TRUE(viewer.pollUntil([&] { return !viewer.error.isEmpty(); }));
    EXPECT_EQ(viewer.error, row.viewerError);
    EXPECT_FALSE(service->live());
    EXPECT_EQ(service->session(), nullptr);
    EXPECT_EQ(service->statusTone(), StatusTone::error);
}

INSTANTIATE_TEST_SUITE_P(
    States, MacHostServiceSharing,
    testing::Values(
        SharingCase{"HeldUntilAllowed", DesktopBackend::State::WaitingForConsent, DesktopBackend::State::Ready, {}},
        SharingCase{"HeldThenRefused", DesktopBackend::State::WaitingForConsent, DesktopBackend::State::Refused,
                    SessionAdmission::sharingRefusedReason},
        SharingCase{"StoppedWhileStreaming", DesktopBackend::State::Ready, DesktopBackend::State::Refused,
                    SessionAdmission::sharingRefusedReason},
        SharingCase{"RefusedBeforeConnect", DesktopBackend::State::Refused, std::nullopt,
                    SessionAdmission::sharingRefusedReason},
        SharingCase{"BrokenBeforeConnect", DesktopBackend::State::Failed, std::nullopt,
                    SessionAdmission::sharingFailedReason}),
    [](const auto &info) { return std::string(info.param.name); });

// KivrenRemote quits during a session: the viewer's next poll reads why, not a lost connection.
// Without a session the quit waits for nothing.
TEST_F(MacHostServiceSwitchboard, Quit_TellsTheViewerTheAppWasClosed)
{
    const auto service = make(HostServiceBench::fastTiming());
    ScriptedViewer viewer(switchboard.origin());
    ASSERT_TRUE(QTest::qWaitFor([&] { return viewer.connect(service->publicId(), service->password(), "Alice"); }, 10000));
    ASSERT_TRUE(viewer.pollUntil([&] { return !viewer.pictures.isEmpty(); }));

    service->closeSessionBeforeQuit();
    EXPECT_FALSE(service->live());
    ASSERT_TRUE(viewer.pollUntil([&] { return !viewer.error.isEmpty(); }));
    EXPECT_EQ(viewer.error, SessionAdmission::quitReason);

    QElapsedTimer idle;
    idle.start();
    service->closeSessionBeforeQuit();
    EXPECT_LT(idle.elapsed(), 100);
}

// Listeners that are not the switchboard this host's key belongs to: they are challenged on every
// pass and told nothing else, whatever they answer.
struct ImpostorCase
{
    const char *name;
    bool otherLaunch; // a real switchboard, started with another key; else a squatter
};

void PrintTo(const ImpostorCase &row, std::ostream *out)
{
    *out << row.name;
}

class MacHostServiceImpostor : public testing::TestWithParam<ImpostorCase>
{
};

TEST_P(MacHostServiceImpostor, Prove_WrongAnswer_NothingElseSent)
{
    HostServiceBench bench;
    const HostKey key = HostKey::generate();
    // A squatter answers every call as a host would love to hear: proven, and a viewer waiting.
    CannedSwitchboard squatter;
    for (const QString path : {"prove", "register", "heartbeat", "claim", "push", "poll"}) {
        squatter.setReply(path, {{"ok", true},
                                 {"proof", QString(64, u'0')},
                                 {"pending", QJsonObject{{"sessionId", "s"}, {"sessionToken", "t"}}}});
    }
    SwitchboardProcess otherLaunch(HostKey::generate().environmentValue());
    ASSERT_TRUE(otherLaunch.running());
    const QString base = GetParam().otherLaunch ? otherLaunch.origin() : squatter.origin();

    const auto service = bench.make(base, HostServiceBench::fastTiming(), key);
    service->rotatePassword();
    QTest::qWait(600);

    EXPECT_FALSE(service->switchboardProven());
    EXPECT_EQ(service->statusTone(), StatusTone::error);
    EXPECT_TRUE(service->status().startsWith(QStringLiteral("port "))) << service->status().toStdString();
    EXPECT_FALSE(service->live());
    EXPECT_EQ(bench.desktop.captures, 0);
    if (GetParam().otherLaunch) {
        // That switchboard never heard of this host.
        ScriptedViewer viewer(otherLaunch.origin());
        EXPECT_FALSE(viewer.post(QStringLiteral("lookup"), {{"id", service->publicId()}}).object.value("found").toBool());
        return;
    }
    ASSERT_GE(squatter.requests().size(), 3);
    for (const CannedSwitchboard::Request &request : squatter.requests()) {
        EXPECT_EQ(request.path, QStringLiteral("prove"));
        EXPECT_FALSE(request.bytes.contains(service->password().toUtf8()));
        EXPECT_FALSE(request.bytes.contains(service->hostToken().toUtf8()));
    }
}

INSTANTIATE_TEST_SUITE_P(Listeners, MacHostServiceImpostor,
                         testing::Values(ImpostorCase{"SquatterMakingUpAnswers", false},
                                         ImpostorCase{"SwitchboardOfAnotherLaunch", true}),
                         [](const auto &info) { return std::string(info.param.name); });

enum class Moment { registering, claiming, streaming };

struct DestroyCase
{
    const char *name;
    Moment moment;
};

void PrintTo(const DestroyCase &row, std::ostream *out)
{
    *out << row.name;
}

class MacHostServiceDestroyed : public MacHostServiceSwitchboard, public testing::WithParamInterface<DestroyCase>
{
};

// The service goes away with requests in flight; the sanitizer build shows any task that
// touches it afterwards.
TEST_P(MacHostServiceDestroyed, Destroy_WithRequestsInFlightIsSafe)
{
    auto service = make(HostServiceBench::fastTiming());
    ScriptedViewer viewer(switchboard.origin());
    switch (GetParam().moment) {
    case Moment::registering:
        QTest::qWait(25); // the first registration is on its way
        break;
    case Moment::claiming:
        ASSERT_TRUE(QTest::qWaitFor([&] { return service->status() == localStatus(*service); }, 10000));
        ASSERT_TRUE(viewer.connect(service->publicId(), service->password(), QStringLiteral("Alice")));
        ASSERT_TRUE(QTest::qWaitFor([&] { return service->live(); }, 10000));
        break;
    case Moment::streaming:
        ASSERT_TRUE(QTest::qWaitFor([&] { return service->status() == localStatus(*service); }, 10000));
        ASSERT_TRUE(viewer.connect(service->publicId(), service->password(), QStringLiteral("Alice")));
        ASSERT_TRUE(viewer.pollUntil([&] { return !viewer.pictures.isEmpty(); }));
        bench.desktop.shade = 0x20; // a changed screen: the next picture is on its way
        ASSERT_TRUE(viewer.pollUntil([&] { return viewer.pictures.size() >= 2; }));
        // Only now, so that the viewer's connect cannot race the new password's registration,
        // and that registration is still in flight when the service goes.
        service->rotatePassword();
        break;
    }
    const int captures = bench.desktop.captures;

    service.reset();
    QTest::qWait(300);

    EXPECT_EQ(bench.desktop.captures, captures);
}

INSTANTIATE_TEST_SUITE_P(Moments, MacHostServiceDestroyed,
                         testing::Values(DestroyCase{"Registering", Moment::registering},
                                         DestroyCase{"Claiming", Moment::claiming},
                                         DestroyCase{"Streaming", Moment::streaming}),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
