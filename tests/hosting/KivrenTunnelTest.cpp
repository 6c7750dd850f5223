#include "FakeTools.h"
#include "KivrenTunnel.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace {

using FakeTools::spinUntil;
using FakeTools::writeScript;

struct ChunkCase
{
    const char *name;
    std::vector<QByteArray> chunks;
    std::vector<const char *> expected; // one entry per report, in order
};

void PrintTo(const ChunkCase &row, std::ostream *out)
{
    *out << row.name;
}

class KivrenTunnelChunks : public testing::TestWithParam<ChunkCase>
{
};

TEST_P(KivrenTunnelChunks, HandleChunk_ReportsFirstOriginPerChunk)
{
    const ChunkCase &row = GetParam();
    KivrenTunnel tunnel({}, {});
    QStringList reported;
    QStringList published;
    tunnel.setOnOrigin([&](const QString &origin) { reported << origin; });
    QObject::connect(&tunnel, &KivrenTunnel::publicOriginChanged, [&](const QString &origin) { published << origin; });

    for (const QByteArray &chunk : row.chunks)
        tunnel.handleChunk(chunk);

    QStringList expected;
    for (const char *origin : row.expected)
        expected << QString::fromUtf8(origin);
    EXPECT_EQ(reported, expected);
    EXPECT_EQ(published, expected);
    EXPECT_EQ(tunnel.publicOrigin(), expected.isEmpty() ? QString() : expected.last());
}

INSTANTIATE_TEST_SUITE_P(
    Output, KivrenTunnelChunks,
    testing::Values(
        ChunkCase{"TwoOriginsFirstOnly",
                  {"https://one-two.trycloudflare.com https://three.trycloudflare.com\n"},
                  {"https://one-two.trycloudflare.com"}},
        ChunkCase{"OriginAmongWords",
                  {"INF |  Your quick Tunnel: https://calm-sea-42.trycloudflare.com  |\n"},
                  {"https://calm-sea-42.trycloudflare.com"}},
        ChunkCase{"TrailingPathDropped", {"url=https://ab.free.pinggy.link/v1/poll?x=1\n"}, {"https://ab.free.pinggy.link"}},
        ChunkCase{"PinggyDomainWithPort", {"https://rnx-1-2.a.pinggy.link:443\n"}, {"https://rnx-1-2.a.pinggy.link"}},
        ChunkCase{"SplitAcrossChunks", {"https://calm-sea.trycloud", "flare.com\n"}, {}},
        // The origin is intact but the chunk ends inside "é": the whole chunk is dropped.
        ChunkCase{"SplitUtf8Character", {"https://ok.trycloudflare.com caf\xc3", "\xa9 done\n"}, {}},
        ChunkCase{"OverlongEncodingDropped", {"https://ok.trycloudflare.com \xc0\xaf\n"}, {}},
        ChunkCase{"ValidUtf8Kept", {"caf\xc3\xa9 https://ok.trycloudflare.com\n"}, {"https://ok.trycloudflare.com"}},
        ChunkCase{"PlainHttpNever", {"http://calm.trycloudflare.com http://x.pinggy.link\n"}, {}},
        ChunkCase{"OtherDomainNever", {"https://calm.example.com https://trycloudflare.com\n"}, {}},
        ChunkCase{"SameOriginTwiceReportedTwice",
                  {"https://same.trycloudflare.com\n", "again https://same.trycloudflare.com\n"},
                  {"https://same.trycloudflare.com", "https://same.trycloudflare.com"}},
        ChunkCase{"LaterOriginReplaces",
                  {"https://old.trycloudflare.com\n", "https://new.pinggy.link\n"},
                  {"https://old.trycloudflare.com", "https://new.pinggy.link"}}),
    [](const auto &info) { return std::string(info.param.name); });

// Tools in a temporary tree: d1/ and d2/ are the search directories, in that order.
class KivrenTunnelTools : public testing::Test
{
protected:
    QString dir(const char *name) const { return root.filePath(QString::fromUtf8(name)) + QLatin1Char('/'); }
    QStringList directories() const { return {dir("d1"), dir("d2")}; }
    QString knownHosts() const { return root.filePath(QStringLiteral("config/tunnel_known_hosts")); }
    // A tool that records its name and arguments, then stays up like a tunnel.
    void writeRecordingTool(const QString &path)
    {
        writeScript(path, "{ basename \"$0\"; printf '%s\\n' \"$@\"; } > \"" + root.filePath("launched.tmp").toUtf8()
                              + "\" && mv \"" + root.filePath("launched.tmp").toUtf8() + "\" \""
                              + root.filePath("launched").toUtf8() + "\"\nexec sleep 300\n");
    }
    QStringList launched()
    {
        const QByteArray text = FakeTools::waitForFile(root.filePath(QStringLiteral("launched")));
        QStringList lines = QString::fromUtf8(text).split(QLatin1Char('\n'));
        if (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        return lines;
    }

    QTemporaryDir root;
};

TEST_F(KivrenTunnelTools, Start_PrefersCloudflaredInAnyDirectory)
{
    writeRecordingTool(dir("d1") + QStringLiteral("ssh"));
    writeRecordingTool(dir("d2") + QStringLiteral("cloudflared"));
    KivrenTunnel tunnel(directories(), knownHosts());

    tunnel.start(17880);

    EXPECT_EQ(launched(), (QStringList{QStringLiteral("cloudflared"), QStringLiteral("tunnel"), QStringLiteral("--url"),
                                       QStringLiteral("http://127.0.0.1:17880"), QStringLiteral("--no-autoupdate")}));
}

TEST_F(KivrenTunnelTools, Start_FallsBackToSshKeepingTheServiceKey)
{
    writeRecordingTool(dir("d2") + QStringLiteral("ssh"));
    // Not executable: not a candidate.
    FakeTools::writeFile(dir("d1") + QStringLiteral("cloudflared"));
    KivrenTunnel tunnel(directories(), knownHosts());

    tunnel.start(17880);

    EXPECT_EQ(launched(), (QStringList{QStringLiteral("ssh"), QStringLiteral("-p"), QStringLiteral("443"),
                                       QStringLiteral("-o"), QStringLiteral("StrictHostKeyChecking=accept-new"),
                                       QStringLiteral("-o"), QStringLiteral("UserKnownHostsFile=") + knownHosts(),
                                       QStringLiteral("-o"), QStringLiteral("ServerAliveInterval=30"),
                                       QStringLiteral("-R0:127.0.0.1:17880"), QStringLiteral("a.pinggy.io")}));
}

// A stand-in for ssh that keeps host keys as ssh does: the service's key (the file service_key)
// is added to the known-hosts file named in its arguments when that file has none for the
// service yet (accept-new), and a different key there is refused with ssh's words.
TEST_F(KivrenTunnelTools, Ssh_ServiceKeyKeptAndImpostorRefused)
{
    const QByteArray serviceKey = root.filePath(QStringLiteral("service_key")).toUtf8();
    const QByteArray runs = root.filePath(QStringLiteral("runs")).toUtf8();
    writeScript(dir("d1") + QStringLiteral("ssh"),
                "echo run >> \"" + runs + "\"\n"
                "for a in \"$@\"; do case \"$a\" in\n"
                "  UserKnownHostsFile=*) known=\"${a#UserKnownHostsFile=}\";;\n"
                "  StrictHostKeyChecking=*) strict=\"${a#StrictHostKeyChecking=}\";;\n"
                "esac; done\n"
                "line=\"[a.pinggy.io]:443 $(cat \"" + serviceKey + "\")\"\n"
                "if grep -q '^\\[a.pinggy.io\\]:443 ' \"$known\" 2>/dev/null; then\n"
                "  if ! grep -qxF \"$line\" \"$known\" && [ \"$strict\" != no ]; then\n"
                "    echo '@    WARNING: REMOTE HOST IDENTIFICATION HAS CHANGED!     @' >&2\n"
                "    echo 'Host key for [a.pinggy.io]:443 has changed and you have requested strict checking.' >&2\n"
                "    printf 'Host key verif' >&2; sleep 0.1; echo 'ication failed.' >&2\n"
                "    exit 255\n"
                "  fi\n"
                "elif [ \"$strict\" = accept-new ]; then\n"
                "  echo \"$line\" >> \"$known\"\n"
                "fi\n"
                "echo 'You can access local server via https://run-'$$'.a.free.pinggy.link'\n"
                "exec sleep 300\n");
    QDir().mkpath(QFileInfo(knownHosts()).absolutePath());
    const auto serve = [&](const QByteArray &key) { FakeTools::writeFile(QString::fromUtf8(serviceKey), key + '\n'); };
    const auto runCount = [&] { return FakeTools::waitForFile(QString::fromUtf8(runs)).count('\n'); };
    using namespace std::chrono_literals;
    const KivrenTunnel::Timing fast{2s, 20ms, 40ms};

    // First use: the key is kept; a later launch of the app meets the same key and publishes.
    serve("ssh-ed25519 AAAAservice");
    for (int launch = 0; launch < 2; ++launch) {
        KivrenTunnel tunnel(directories(), knownHosts(), fast);
        tunnel.start(17880);
        ASSERT_TRUE(spinUntil([&] { return tunnel.state() == KivrenTunnel::State::published; })) << "launch " << launch;
    }
    const QByteArray kept = FakeTools::waitForFile(knownHosts());
    EXPECT_EQ(kept, "[a.pinggy.io]:443 ssh-ed25519 AAAAservice\n");

    // Another key answers: refused on every attempt, nothing published, the kept key stays.
    serve("ssh-ed25519 AAAAimpostor");
    KivrenTunnel tunnel(directories(), knownHosts(), fast);
    QStringList reported;
    tunnel.setOnOrigin([&](const QString &origin) { reported << origin; });
    const qsizetype before = runCount();
    tunnel.start(17880);
    ASSERT_TRUE(spinUntil([&] { return tunnel.state() == KivrenTunnel::State::hostKeyChanged; }));
    ASSERT_TRUE(spinUntil([&] { return runCount() >= before + 3; }));
    EXPECT_EQ(tunnel.state(), KivrenTunnel::State::hostKeyChanged);
    EXPECT_TRUE(reported.isEmpty()) << reported.join(u' ').toStdString();
    EXPECT_EQ(tunnel.publicOrigin(), QString());
    EXPECT_EQ(FakeTools::waitForFile(knownHosts()), kept);

    // The service answers with its own key again: published.
    serve("ssh-ed25519 AAAAservice");
    EXPECT_TRUE(spinUntil([&] { return tunnel.state() == KivrenTunnel::State::published; }));
    EXPECT_EQ(reported.size(), 1);
}

TEST_F(KivrenTunnelTools, Start_NoToolNoChild)
{
    KivrenTunnel tunnel(directories(), knownHosts());
    int reports = 0;
    tunnel.setOnOrigin([&](const QString &) { ++reports; });

    tunnel.start(17880);

    EXPECT_EQ(tunnel.child(), nullptr);
    EXPECT_EQ(reports, 0);
    EXPECT_EQ(tunnel.state(), KivrenTunnel::State::noTool);
}

struct RetryCase
{
    const char *name;
    QByteArray misbehaviour; // what the first three runs do after noting their start
    KivrenTunnel::State retrying;
};

void PrintTo(const RetryCase &row, std::ostream *out)
{
    *out << row.name;
}

class KivrenTunnelRetry : public KivrenTunnelTools, public testing::WithParamInterface<RetryCase>
{
};

// A tool that fails three times is started again after pauses that double (50, 100, 200 ms,
// here); the fourth run prints an origin and is left to serve.
TEST_P(KivrenTunnelRetry, Retry_WithGrowingPausesUntilAnOrigin)
{
    const QByteArray runs = root.filePath(QStringLiteral("runs")).toUtf8();
    writeScript(dir("d1") + QStringLiteral("cloudflared"),
                "date +%s%N >> \"" + runs + "\"\n"
                "if [ \"$(wc -l < \"" + runs + "\")\" -lt 4 ]; then\n" + GetParam().misbehaviour + "fi\n"
                "echo 'INF |  https://fourth-try.trycloudflare.com  |'\n"
                "exec sleep 300\n");
    using namespace std::chrono_literals;
    KivrenTunnel tunnel(directories(), knownHosts(), {300ms, 50ms, 200ms});
    std::vector<KivrenTunnel::State> states;
    QObject::connect(&tunnel, &KivrenTunnel::stateChanged, [&](KivrenTunnel::State state) { states.push_back(state); });

    tunnel.start(17880);
    ASSERT_TRUE(spinUntil([&] { return tunnel.state() == KivrenTunnel::State::published; }, 20000));

    EXPECT_EQ(states, (std::vector<KivrenTunnel::State>{KivrenTunnel::State::starting, GetParam().retrying,
                                                        KivrenTunnel::State::published}));
    EXPECT_EQ(tunnel.publicOrigin(), QStringLiteral("https://fourth-try.trycloudflare.com"));
    QList<qint64> startsNs;
    for (const QByteArray &line : FakeTools::waitForFile(QString::fromUtf8(runs)).split('\n')) {
        if (!line.isEmpty())
            startsNs << line.toLongLong();
    }
    ASSERT_EQ(startsNs.size(), 4);
    // Timers may fire a little early, never much: each gap is at least 90 % of its pause.
    const qint64 pausesMs[] = {50, 100, 200};
    for (int i = 0; i < 3; ++i)
        EXPECT_GE((startsNs[i + 1] - startsNs[i]) / 1000000, pausesMs[i] * 9 / 10) << "gap " << i;

    // A published tunnel is left alone.
    QTest::qWait(400);
    EXPECT_EQ(tunnel.state(), KivrenTunnel::State::published);
    EXPECT_EQ(FakeTools::waitForFile(QString::fromUtf8(runs)).count('\n'), 4);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, KivrenTunnelRetry,
    testing::Values(RetryCase{"ExitsAtOnce", "  exit 1\n", KivrenTunnel::State::closed},
                    // Ended once the 300 ms bound passes; its pauses come on top of that.
                    RetryCase{"NeverPrintsAnOrigin", "  exec sleep 300\n", KivrenTunnel::State::silent}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(KivrenTunnelTools, Stop_EndsTheChildAndEveryRetry)
{
    writeScript(dir("d1") + QStringLiteral("cloudflared"), "exit 1\n");
    using namespace std::chrono_literals;
    KivrenTunnel tunnel(directories(), knownHosts(), {300ms, 20ms, 20ms});
    tunnel.start(17880);
    ASSERT_TRUE(spinUntil([&] { return tunnel.state() == KivrenTunnel::State::closed; }));

    tunnel.stop();
    EXPECT_EQ(tunnel.state(), KivrenTunnel::State::idle);
    QTest::qWait(200);
    EXPECT_EQ(tunnel.state(), KivrenTunnel::State::idle);
    EXPECT_EQ(tunnel.child(), nullptr);
}

TEST_F(KivrenTunnelTools, Start_ReplacesRunningChild)
{
    writeRecordingTool(dir("d1") + QStringLiteral("cloudflared"));
    KivrenTunnel tunnel(directories(), knownHosts());
    tunnel.start(17880);
    ASSERT_NE(tunnel.child(), nullptr);
    const qint64 firstPid = tunnel.child()->processId();

    tunnel.start(17880);

    ASSERT_NE(tunnel.child(), nullptr);
    EXPECT_NE(tunnel.child()->processId(), firstPid);
    EXPECT_TRUE(spinUntil([&] { return FakeTools::processGone(firstPid); }));
}

// A real child writing its output piece by piece; each piece waits until the previous one has
// been read, so every piece is one chunk.
TEST_F(KivrenTunnelTools, Output_ReadChunkByChunkFromChild)
{
    const QByteArray gate = root.filePath(QStringLiteral("go")).toUtf8();
    writeScript(dir("d1") + QStringLiteral("cloudflared"),
                "step() { while [ ! -e \"" + gate + "$1\" ]; do sleep 0.02; done; }\n"
                "printf 'INF Requesting new quick Tunnel... https://calm.trycloud'\n"
                "step 1; printf 'flare.com\\n'\n"
                "step 2; printf '|  https://real-one.trycloudflare.com/  |\\n'\n"
                "step 3; printf 'again https://real-one.trycloudflare.com\\n'\n"
                "step 4; exit 0\n");
    KivrenTunnel tunnel(directories(), knownHosts());
    QStringList reported;
    tunnel.setOnOrigin([&](const QString &origin) { reported << origin; });
    tunnel.start(17880);
    QProcess *child = tunnel.child();
    ASSERT_NE(child, nullptr);
    // Connected after the tunnel's own reader, so the chunk has been handled when this runs.
    int chunks = 0;
    QObject::connect(child, &QProcess::readyRead, [&] {
        ++chunks;
        FakeTools::writeFile(QString::fromUtf8(gate) + QString::number(chunks));
    });

    ASSERT_TRUE(spinUntil([&] { return child->state() == QProcess::NotRunning; }));

    EXPECT_EQ(chunks, 4);
    EXPECT_EQ(reported, (QStringList{QStringLiteral("https://real-one.trycloudflare.com"),
                                     QStringLiteral("https://real-one.trycloudflare.com")}));
    EXPECT_EQ(tunnel.publicOrigin(), QStringLiteral("https://real-one.trycloudflare.com"));
}

} // namespace
