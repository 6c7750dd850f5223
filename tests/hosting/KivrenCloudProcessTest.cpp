#include "FakeTools.h"
#include "KivrenCloudProcess.h"
#include "SwitchboardChild.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace {

using FakeTools::writeFile;
using FakeTools::writeScript;

// A temporary tree with three fixed node candidates under fixed/ and a home folder.
class CloudTree
{
public:
    CloudTree()
    {
        roots.home = dir.filePath(QStringLiteral("home"));
        roots.nodeCandidates = {path(QStringLiteral("fixed/a/node")), path(QStringLiteral("fixed/b/node")),
                                path(QStringLiteral("fixed/c/node"))};
        QDir().mkpath(roots.home);
    }
    QString path(const QString &relative) const { return dir.filePath(relative); }

    QTemporaryDir dir;
    KivrenCloudProcess::Roots roots;
};

struct NodeCase
{
    const char *name;
    std::vector<const char *> executables; // relative to the tree
    std::vector<const char *> plainFiles;
    const char *expected; // relative; "" for none
};

void PrintTo(const NodeCase &row, std::ostream *out)
{
    *out << row.name;
}

class KivrenCloudProcessWhichNode : public testing::TestWithParam<NodeCase>
{
};

TEST_P(KivrenCloudProcessWhichNode, WhichNode_PicksFirstExecutableCandidate)
{
    const NodeCase &row = GetParam();
    CloudTree tree;
    for (const char *relative : row.executables)
        writeScript(tree.path(QString::fromUtf8(relative)), "exit 0\n");
    for (const char *relative : row.plainFiles)
        writeFile(tree.path(QString::fromUtf8(relative)));

    const std::optional<QString> node = KivrenCloudProcess::whichNode(tree.roots);

    if (*row.expected == '\0')
        EXPECT_EQ(node, std::nullopt);
    else
        EXPECT_EQ(node, tree.path(QString::fromUtf8(row.expected)));
}

INSTANTIATE_TEST_SUITE_P(
    Candidates, KivrenCloudProcessWhichNode,
    testing::Values(
        NodeCase{"FixedInOrder", {"fixed/a/node", "fixed/b/node"}, {}, "fixed/a/node"},
        NodeCase{"FixedNotExecutableSkipped", {"fixed/c/node"}, {"fixed/a/node"}, "fixed/c/node"},
        NodeCase{"FixedBeforeVersionManager",
                 {"fixed/c/node", "home/.nvm/versions/node/v22.23.1/bin/node"}, {}, "fixed/c/node"},
        // Plain descending string order, not version order.
        NodeCase{"VersionsDescendingByString",
                 {"home/.nvm/versions/node/v18.20.4/bin/node", "home/.nvm/versions/node/v22.23.1/bin/node",
                  "home/.nvm/versions/node/v9.11.2/bin/node"},
                 {},
                 "home/.nvm/versions/node/v9.11.2/bin/node"},
        NodeCase{"VersionWithoutNodeSkipped",
                 {"home/.nvm/versions/node/v18.20.4/bin/node", "home/.nvm/versions/node/v22.23.1/bin/node"},
                 {"home/.nvm/versions/node/v9.11.2/bin/npm", "home/.nvm/versions/node/v99",
                  "home/.nvm/versions/node/v23.0.0/bin/node"},
                 "home/.nvm/versions/node/v22.23.1/bin/node"},
        NodeCase{"NothingAnywhere", {}, {"fixed/a/node"}, ""}),
    [](const auto &info) { return std::string(info.param.name); });

struct ScriptCase
{
    const char *name;
    bool shipped;
    std::vector<const char *> files;   // relative to home; a server.mjs comes with its modules
    const char *symlinkedBramble;      // "bramble 2" as a link to this folder under home, or null
    const char *expected;              // "shipped", a path relative to home, or ""
    std::vector<const char *> bareScripts = {}; // server.mjs without its modules, relative to home
};

void PrintTo(const ScriptCase &row, std::ostream *out)
{
    *out << row.name;
}

class KivrenCloudProcessFindScript : public testing::TestWithParam<ScriptCase>
{
};

TEST_P(KivrenCloudProcessFindScript, FindScript_FollowsSearchOrder)
{
    const ScriptCase &row = GetParam();
    CloudTree tree;
    const QString home = tree.roots.home;
    if (row.shipped)
        tree.roots.shippedScript = tree.path(QStringLiteral("share/kivrenremote/server.mjs"));
    for (const char *relative : row.files) {
        const QFileInfo script(home + QLatin1Char('/') + QString::fromUtf8(relative));
        writeFile(script.filePath(), "// switchboard\n");
        if (script.fileName() == QStringLiteral("server.mjs")) {
            for (const QString &module : KivrenCloudProcess::switchboardFiles())
                writeFile(script.dir().filePath(module), "// switchboard\n");
        }
    }
    for (const char *relative : row.bareScripts)
        writeFile(home + QLatin1Char('/') + QString::fromUtf8(relative), "// switchboard\n");
    if (row.symlinkedBramble) {
        const QString target = home + QLatin1Char('/') + QString::fromUtf8(row.symlinkedBramble);
        QDir().mkpath(target);
        QDir().mkpath(home + QStringLiteral("/Downloads"));
        ASSERT_TRUE(QFile::link(target, home + QStringLiteral("/Downloads/bramble 2")));
    }

    const std::optional<QString> script = KivrenCloudProcess::findScript(tree.roots);

    const QString expected = QString::fromUtf8(row.expected);
    if (expected.isEmpty())
        EXPECT_EQ(script, std::nullopt);
    else if (expected == QStringLiteral("shipped"))
        EXPECT_EQ(script, tree.roots.shippedScript);
    else
        EXPECT_EQ(script, home + QLatin1Char('/') + expected);
}

INSTANTIATE_TEST_SUITE_P(
    Locations, KivrenCloudProcessFindScript,
    testing::Values(
        ScriptCase{"ShippedBeforeDevelopmentCopy", true, {"Downloads/KivrenRemote/cloud/server.mjs"}, nullptr, "shipped"},
        ScriptCase{"DevelopmentCopy", false, {"Downloads/KivrenRemote/cloud/server.mjs"}, nullptr,
                   "Downloads/KivrenRemote/cloud/server.mjs"},
        // ".." is resolved by the file system: through a linked "bramble 2" it leaves Downloads.
        ScriptCase{"SecondPathThroughLinkedFolder", false, {"elsewhere/KivrenRemote/cloud/server.mjs"},
                   "elsewhere/inner", "Downloads/bramble 2/../KivrenRemote/cloud/server.mjs"},
        ScriptCase{"NoScript", false, {"Downloads/server.mjs"}, nullptr, ""},
        // A copy whose modules are missing would stop at its first import.
        ScriptCase{"CopyWithoutItsModules", false, {}, nullptr, "", {"Downloads/KivrenRemote/cloud/server.mjs"}},
        ScriptCase{"CopyWithoutItsModulesSkipped", false, {"elsewhere/KivrenRemote/cloud/server.mjs"},
                   "elsewhere/inner", "Downloads/bramble 2/../KivrenRemote/cloud/server.mjs",
                   {"Downloads/KivrenRemote/cloud/server.mjs"}}),
    [](const auto &info) { return std::string(info.param.name); });

// The fake node records its arguments and environment, then stays up like a server.
class KivrenCloudProcessStart : public testing::Test
{
protected:
    void SetUp() override
    {
        KivrenCloudProcess::stop();
        node = tree.path(QStringLiteral("fixed/b/node"));
        writeScript(node, "printf '%s\\n' \"$@\" > \"$(dirname \"$0\")/args\"\n"
                          "env > \"$(dirname \"$0\")/env.tmp\" && mv \"$(dirname \"$0\")/env.tmp\" \"$(dirname \"$0\")/env\"\n"
                          "exec sleep 300\n");
        script = tree.path(QStringLiteral("share/server.mjs"));
        writeFile(script, "// switchboard\n");
        tree.roots.shippedScript = script;
        inherited = qgetenv("KIVREN_PORT");
        hadInherited = qEnvironmentVariableIsSet("KIVREN_PORT");
    }
    void TearDown() override
    {
        KivrenCloudProcess::stop();
        if (hadInherited)
            qputenv("KIVREN_PORT", inherited);
        else
            qunsetenv("KIVREN_PORT");
        qunsetenv("KIVREN_HOST_KEY");
    }

    CloudTree tree;
    QString node;
    QString script;
    QByteArray inherited;
    bool hadInherited = false;
};

TEST_F(KivrenCloudProcessStart, Start_LaunchesOnceWithForcedPortAndFreshKey)
{
    qputenv("KIVREN_PORT", "9999");
    qputenv("KIVREN_HOST_KEY", QByteArray(64, 'e'));

    EXPECT_EQ(KivrenCloudProcess::start(tree.roots), KivrenCloudProcess::Launch::started);
    SwitchboardChild *first = KivrenCloudProcess::process();
    ASSERT_NE(first, nullptr);
    const qint64 firstPid = first->processId();

    const QByteArray env = FakeTools::waitForFile(tree.path(QStringLiteral("fixed/b/env")));
    EXPECT_TRUE(env.split('\n').contains("KIVREN_PORT=17880")) << env.toStdString();
    EXPECT_FALSE(env.contains("KIVREN_PORT=9999"));
    // The child's own key, in its environment only: never the inherited one, never an argument.
    const QByteArray key = first->hostKey().environmentValue();
    EXPECT_EQ(key.size(), 64);
    EXPECT_TRUE(env.split('\n').contains("KIVREN_HOST_KEY=" + key));
    EXPECT_FALSE(env.contains(QByteArray(64, 'e')));
    EXPECT_EQ(FakeTools::waitForFile(tree.path(QStringLiteral("fixed/b/args"))), script.toUtf8() + '\n');

    // Still running: nothing new.
    EXPECT_EQ(KivrenCloudProcess::start(tree.roots), KivrenCloudProcess::Launch::alreadyRunning);
    EXPECT_EQ(KivrenCloudProcess::process(), first);
    EXPECT_EQ(first->processId(), firstPid);
    EXPECT_EQ(first->state(), QProcess::Running);

    // Ended: the next start launches a new child, with a key of its own.
    KivrenCloudProcess::stop();
    KivrenCloudProcess::start(tree.roots);
    ASSERT_NE(KivrenCloudProcess::process(), nullptr);
    EXPECT_EQ(KivrenCloudProcess::process()->state(), QProcess::Running);
    EXPECT_NE(KivrenCloudProcess::process()->processId(), firstPid);
    EXPECT_NE(KivrenCloudProcess::process()->hostKey().environmentValue(), key);
}

TEST_F(KivrenCloudProcessStart, Start_NothingWithoutNodeOrScript)
{
    KivrenCloudProcess::Roots noScript = tree.roots;
    noScript.shippedScript.reset();
    EXPECT_EQ(KivrenCloudProcess::start(noScript), KivrenCloudProcess::Launch::noScript);
    EXPECT_TRUE(KivrenCloudProcess::process() == nullptr
                || KivrenCloudProcess::process()->state() == QProcess::NotRunning);

    KivrenCloudProcess::Roots noNode = tree.roots;
    noNode.nodeCandidates = {tree.path(QStringLiteral("fixed/a/node"))};
    EXPECT_EQ(KivrenCloudProcess::start(noNode), KivrenCloudProcess::Launch::noNode);
    EXPECT_TRUE(KivrenCloudProcess::process() == nullptr
                || KivrenCloudProcess::process()->state() == QProcess::NotRunning);
    EXPECT_FALSE(QFile::exists(tree.path(QStringLiteral("fixed/b/args"))));
}

struct OutputCase
{
    const char *name;
    QByteArray script; // what the fake node does
    std::vector<SwitchboardChild::Phase> phases;
    quint16 port;
};

void PrintTo(const OutputCase &row, std::ostream *out)
{
    *out << row.name;
}

class SwitchboardChildOutput : public KivrenCloudProcessStart, public testing::WithParamInterface<OutputCase>
{
};

// The host learns from the child's own output whether it listens and, once it has gone, why.
TEST_P(SwitchboardChildOutput, Phase_FollowsWhatTheChildSays)
{
    FakeTools::writeScript(node, GetParam().script);
    ASSERT_EQ(KivrenCloudProcess::start(tree.roots), KivrenCloudProcess::Launch::started);
    SwitchboardChild *child = KivrenCloudProcess::process();
    std::vector<SwitchboardChild::Phase> phases;
    // The child outlives this test (TearDown ends it): the connection must not.
    const QObject listener;
    QObject::connect(child, &SwitchboardChild::phaseChanged, &listener,
                     [&](SwitchboardChild::Phase phase) { phases.push_back(phase); });

    FakeTools::spinUntil([&] { return phases.size() >= GetParam().phases.size(); });
    QTest::qWait(100);

    EXPECT_EQ(phases, GetParam().phases);
    EXPECT_EQ(child->listeningPort(), GetParam().port);
}

using Phase = SwitchboardChild::Phase;

INSTANTIATE_TEST_SUITE_P(
    Outputs, SwitchboardChildOutput,
    testing::Values(
        OutputCase{"Listening", "echo 'listening on 127.0.0.1:4321'\nexec sleep 300\n", {Phase::listening}, 4321},
        OutputCase{"LineInPieces", "printf 'listen'; sleep 0.2; printf 'ing on 127.0.0.1:4321\\n'\nexec sleep 300\n",
                   {Phase::listening}, 4321},
        OutputCase{"PortTaken",
                   "echo 'switchboard cannot listen on 127.0.0.1:17880: EADDRINUSE' >&2\nexit 1\n",
                   {Phase::portInUse}, 0},
        OutputCase{"FailsOtherwise", "echo 'SyntaxError: Unexpected token' >&2\nexit 1\n", {Phase::failed}, 0},
        OutputCase{"OtherAddressIsNoListening", "echo 'listening on 0.0.0.0:4321'\nexit 0\n", {Phase::failed}, 0},
        OutputCase{"EndsAfterListening", "echo 'listening on 127.0.0.1:4321'\nsleep 0.2\nexit 0\n",
                   {Phase::listening, Phase::ended}, 4321}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
