#include "FakeTools.h"
#include "KivrenCloudProcess.h"
#include "SwitchboardChild.h"
#include "SwitchboardKeeper.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

namespace {

using namespace std::chrono_literals;
using Launch = KivrenCloudProcess::Launch;
using FakeTools::spinUntil;

// A stand-in node in a temporary tree, beside a complete switchboard, that notes each start.
class SwitchboardKeeperTree : public testing::Test
{
protected:
    void SetUp() override
    {
        KivrenCloudProcess::stop();
        roots.home = dir.filePath(QStringLiteral("home"));
        roots.nodeCandidates = {dir.filePath(QStringLiteral("bin/node"))};
        roots.shippedScript = dir.filePath(QStringLiteral("share/server.mjs"));
        for (const QString &name : KivrenCloudProcess::switchboardFiles())
            FakeTools::writeFile(dir.filePath(QStringLiteral("share/") + name));
    }
    void TearDown() override { KivrenCloudProcess::stop(); }

    // The node's first `failures` runs stop before listening; later ones listen and stay up.
    void writeNode(int failures)
    {
        FakeTools::writeScript(roots.nodeCandidates.first(),
                               "date +%s%N >> \"" + runsFile().toUtf8() + "\"\n"
                               "if [ \"$(wc -l < \"" + runsFile().toUtf8() + "\")\" -le " + QByteArray::number(failures)
                                   + " ]; then echo 'SyntaxError' >&2; exit 1; fi\n"
                                     "echo 'listening on 127.0.0.1:4321'\nexec sleep 300\n");
    }
    QString runsFile() const { return dir.filePath(QStringLiteral("runs")); }
    QList<qint64> runs() const
    {
        QFile file(runsFile());
        QList<qint64> starts;
        if (file.open(QIODevice::ReadOnly)) {
            for (const QByteArray &line : file.readAll().split('\n')) {
                if (!line.isEmpty())
                    starts << line.toLongLong();
            }
        }
        return starts;
    }

    QTemporaryDir dir;
    KivrenCloudProcess::Roots roots;
};

// A child that keeps failing is launched again after pauses that double (50, 100, 200 ms here),
// each with a key of its own, until one listens; that one is left to serve.
TEST_F(SwitchboardKeeperTree, Restart_AfterEveryEndWithGrowingPausesAndFreshKeys)
{
    writeNode(3);
    SwitchboardKeeper keeper(roots, 0, {50ms, 400ms});
    QList<Launch> launches;
    QList<QByteArray> keys;
    QObject::connect(&keeper, &SwitchboardKeeper::launched, [&](Launch launch) {
        launches << launch;
        if (keeper.child())
            keys << keeper.child()->hostKey().environmentValue();
    });

    keeper.start();
    ASSERT_TRUE(spinUntil([&] { return keeper.child() && keeper.child()->phase() == SwitchboardChild::Phase::listening; }));

    EXPECT_EQ(launches, (QList<Launch>{Launch::started, Launch::started, Launch::started, Launch::started}));
    ASSERT_EQ(keys.size(), 4);
    for (int i = 0; i < keys.size(); ++i)
        EXPECT_EQ(keys.count(keys[i]), 1) << "key " << i;
    const QList<qint64> starts = runs();
    ASSERT_EQ(starts.size(), 4);
    // Timers may fire a little early, never much: each gap is at least 90 % of its pause.
    const qint64 pausesMs[] = {50, 100, 200};
    for (int i = 0; i < 3; ++i)
        EXPECT_GE((starts[i + 1] - starts[i]) / 1000000, pausesMs[i] * 9 / 10) << "gap " << i;
    QTest::qWait(300);
    EXPECT_EQ(runs().size(), 4);
    EXPECT_FALSE(keeper.waiting());
}

// Without node nothing runs; a node installed meanwhile is found by a later attempt.
TEST_F(SwitchboardKeeperTree, Restart_NodeInstalledLaterIsFound)
{
    SwitchboardKeeper keeper(roots, 0, {50ms, 100ms});
    QList<Launch> launches;
    QObject::connect(&keeper, &SwitchboardKeeper::launched, [&](Launch launch) { launches << launch; });

    keeper.start();
    ASSERT_TRUE(spinUntil([&] { return launches.size() >= 2; }));
    EXPECT_EQ(launches.first(), Launch::noNode);
    EXPECT_EQ(launches.last(), Launch::noNode);
    writeNode(0);

    ASSERT_TRUE(spinUntil([&] { return keeper.child() && keeper.child()->phase() == SwitchboardChild::Phase::listening; }));
    EXPECT_EQ(launches.last(), Launch::started);
}

// The owner goes while a new attempt waits: nothing more is launched.
TEST_F(SwitchboardKeeperTree, Destroyed_NothingMoreLaunched)
{
    writeNode(100);
    auto keeper = std::make_unique<SwitchboardKeeper>(roots, 0, SwitchboardKeeper::Timing{100ms, 100ms});
    keeper->start();
    ASSERT_TRUE(spinUntil([&] { return keeper->waiting(); }));
    ASSERT_EQ(runs().size(), 1);

    keeper.reset();
    QTest::qWait(400);

    EXPECT_EQ(runs().size(), 1);
}

} // namespace
