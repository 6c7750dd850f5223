#include "FakeTools.h"
#include "KivrenCloudProcess.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

namespace {

struct ParentCase
{
    const char *name;
    QStringList helperArguments; // "%1" is the temporary folder
};

void PrintTo(const ParentCase &row, std::ostream *out)
{
    *out << row.name;
}

class ChildLifetimeParentKilled : public testing::TestWithParam<ParentCase>
{
};

// The parent dies without running any of its own clean-up (SIGKILL, as in a crash): the
// child must not outlive it.
TEST_P(ChildLifetimeParentKilled, Child_EndsWhenParentIsKilled)
{
    QTemporaryDir dir;
    const QString folder = dir.path() + QLatin1Char('/');
    FakeTools::writeScript(folder + QStringLiteral("node"), "exec sleep 300\n");
    FakeTools::writeScript(folder + QStringLiteral("cloudflared"), "exec sleep 300\n");
    // The launcher starts only a whole switchboard.
    for (const QString &name : KivrenCloudProcess::switchboardFiles())
        FakeTools::writeFile(folder + name);
    QStringList arguments;
    for (const QString &argument : GetParam().helperArguments)
        arguments << QString(argument).replace(QStringLiteral("%1"), folder);

    QProcess parent;
    parent.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    parent.start(QStringLiteral(KIVREN_PARENT_HELPER), arguments);
    ASSERT_TRUE(parent.waitForStarted());
    ASSERT_TRUE(FakeTools::spinUntil([&] { return parent.canReadLine() || parent.state() == QProcess::NotRunning; }));
    bool ok = false;
    const qint64 childPid = parent.readLine().trimmed().toLongLong(&ok);
    ASSERT_TRUE(ok) << "the helper started no child";
    ASSERT_FALSE(FakeTools::processGone(childPid));

    ::kill(static_cast<pid_t>(parent.processId()), SIGKILL);
    ASSERT_TRUE(parent.waitForFinished());

    EXPECT_TRUE(FakeTools::spinUntil([&] { return FakeTools::processGone(childPid); }));
    if (!FakeTools::processGone(childPid))
        ::kill(static_cast<pid_t>(childPid), SIGKILL);
}

INSTANTIATE_TEST_SUITE_P(
    Children, ChildLifetimeParentKilled,
    testing::Values(ParentCase{"Switchboard", {"switchboard", "%1node", "%1server.mjs"}},
                    ParentCase{"Tunnel", {"tunnel", "%1"}}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
