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

// A complete switchboard (server.mjs and every module) in `folder`, less the files named.
void writeSwitchboard(const QString &folder, const QStringList &leftOut = {})
{
    for (const QString &name : KivrenCloudProcess::switchboardFiles()) {
        if (!leftOut.contains(name))
            writeFile(folder + QLatin1Char('/') + name, "// switchboard\n");
    }
}

// Complete switchboards where the launcher once looked for development copies, and where
// anything a browser saves ends up.
void plantDownloads(const QString &home)
{
    writeSwitchboard(home + QStringLiteral("/Downloads/KivrenRemote/cloud"));
    writeSwitchboard(home + QStringLiteral("/Downloads/elsewhere/KivrenRemote/cloud"));
    QDir().mkpath(home + QStringLiteral("/Downloads/elsewhere/inner"));
    QFile::link(home + QStringLiteral("/Downloads/elsewhere/inner"), home + QStringLiteral("/Downloads/bramble 2"));
}

struct ScriptCase
{
    const char *name;
    bool shipped;           // roots name share/kivrenremote/server.mjs
    QStringList leftOut;    // files of the shipped switchboard not written; "*": none written
    const char *missing;    // what missingFile names, relative to the tree; "" for nothing
};

void PrintTo(const ScriptCase &row, std::ostream *out)
{
    *out << row.name;
}

class KivrenCloudProcessFindScript : public testing::TestWithParam<ScriptCase>
{
};

// Only the one shipped place counts, and only whole; a download folder full of switchboards is
// never looked at.
TEST_P(KivrenCloudProcessFindScript, FindScript_OnlyTheShippedScriptWhole)
{
    const ScriptCase &row = GetParam();
    CloudTree tree;
    plantDownloads(tree.roots.home);
    const QString folder = tree.path(QStringLiteral("share/kivrenremote"));
    if (row.shipped)
        tree.roots.shippedScript = folder + QStringLiteral("/server.mjs");
    if (!row.leftOut.contains(QStringLiteral("*")))
        writeSwitchboard(folder, row.leftOut);

    const std::optional<QString> script = KivrenCloudProcess::findScript(tree.roots);
    const QString missing = KivrenCloudProcess::missingFile(tree.roots);

    if (*row.missing == '\0') {
        EXPECT_EQ(script, tree.roots.shippedScript);
        EXPECT_EQ(missing, QString());
        return;
    }
    EXPECT_EQ(script, std::nullopt);
    EXPECT_EQ(missing, row.shipped ? tree.path(QString::fromUtf8(row.missing)) : QString::fromUtf8(row.missing));
}

INSTANTIATE_TEST_SUITE_P(
    Locations, KivrenCloudProcessFindScript,
    testing::Values(
        ScriptCase{"Whole", true, {}, ""},
        ScriptCase{"NoneShippedDownloadsIgnored", false, {}, "server.mjs"},
        ScriptCase{"NothingInstalled", true, {QStringLiteral("*")}, "share/kivrenremote/server.mjs"},
        ScriptCase{"ScriptMissingNamedFirst", true, {QStringLiteral("server.mjs"), QStringLiteral("wire.mjs")},
                   "share/kivrenremote/server.mjs"},
        // A copy whose modules are missing would stop at its first import.
        ScriptCase{"ModuleMissing", true, {QStringLiteral("wire.mjs")}, "share/kivrenremote/wire.mjs"},
        ScriptCase{"PageFileMissing", true, {QStringLiteral("web/main.js")}, "share/kivrenremote/web/main.js"}),
    [](const auto &info) { return std::string(info.param.name); });

struct ShippedCase
{
    const char *name;
    const char *executableFolder;
    const char *buildTree;
    const char *expected;
};

void PrintTo(const ShippedCase &row, std::ostream *out)
{
    *out << row.name;
}

class KivrenCloudProcessShipped : public testing::TestWithParam<ShippedCase>
{
};

TEST_P(KivrenCloudProcessShipped, ShippedScript_BuildTreeOrInstalledTree)
{
    const ShippedCase &row = GetParam();
    EXPECT_EQ(KivrenCloudProcess::shippedScriptFor(QString::fromUtf8(row.executableFolder),
                                                   QString::fromUtf8(row.buildTree),
                                                   QStringLiteral("/src/kivren/cloud/server.mjs")),
              QString::fromUtf8(row.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Trees, KivrenCloudProcessShipped,
    testing::Values(
        ShippedCase{"Installed", "/usr/bin", "/src/kivren/build", "/usr/share/kivrenremote/server.mjs"},
        ShippedCase{"InstalledUnderPrefix", "/opt/kivren/bin", "/src/kivren/build",
                    "/opt/kivren/share/kivrenremote/server.mjs"},
        ShippedCase{"BuildTreeItself", "/src/kivren/build", "/src/kivren/build", "/src/kivren/cloud/server.mjs"},
        ShippedCase{"InsideBuildTree", "/src/kivren/build/tests/hosting", "/src/kivren/build",
                    "/src/kivren/cloud/server.mjs"},
        // Only a whole folder name matches: build-old is another tree.
        ShippedCase{"SiblingOfBuildTree", "/src/kivren/build-old/src", "/src/kivren/build",
                    "/src/kivren/build-old/share/kivrenremote/server.mjs"},
        // A build directory since removed: every executable is an installed one.
        ShippedCase{"BuildTreeGone", "/src/kivren/build/src", "", "/src/kivren/build/share/kivrenremote/server.mjs"},
        ShippedCase{"ExecutableInDownloads", "/home/u/Downloads/KivrenRemote/bin", "/src/kivren/build",
                    "/home/u/Downloads/KivrenRemote/share/kivrenremote/server.mjs"}),
    [](const auto &info) { return std::string(info.param.name); });

// The roots the app uses, for an executable of this build (this test is one): the switchboard of
// these sources, whatever the home folder holds.
TEST(KivrenCloudProcessSystem, SystemRoots_BuildTreeScriptNeverHome)
{
    QTemporaryDir home;
    plantDownloads(home.path());
    const QByteArray savedHome = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(home.path()));

    const KivrenCloudProcess::Roots roots = KivrenCloudProcess::Roots::system();

    qputenv("HOME", savedHome);
    EXPECT_EQ(roots.home, home.path());
    EXPECT_EQ(roots.shippedScript, QStringLiteral(KIVREN_SOURCE_DIR "/cloud/server.mjs"));
    EXPECT_EQ(KivrenCloudProcess::findScript(roots), roots.shippedScript);
}

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
        script = tree.path(QStringLiteral("share/kivrenremote/server.mjs"));
        writeSwitchboard(tree.path(QStringLiteral("share/kivrenremote")));
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

// Node is there, the shipped switchboard is not, and the download folder holds complete ones:
// nothing runs, so no script of unknown origin is ever handed this launch's key.
TEST_F(KivrenCloudProcessStart, Start_NeverRunsAScriptFromADownloadFolder)
{
    plantDownloads(tree.roots.home);
    KivrenCloudProcess::Roots noScript = tree.roots;
    QFile::remove(script);
    EXPECT_EQ(KivrenCloudProcess::start(noScript), KivrenCloudProcess::Launch::noScript);
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
