// The service as the app starts it: the real node search and launcher on port 17880, the real
// tunnel tool search. Runs only inside a fresh network namespace with loopback alone, so no
// tunnel can reach the internet and the port cannot clash with anything on this machine; the
// test re-runs itself there.
#include "MacHostServiceFakes.h"

#include "ComputerName.h"
#include "KivrenCloudProcess.h"
#include "KivrenIds.h"
#include "KivrenTunnel.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <gtest/gtest.h>

namespace {

const char *const isolatedMarker = "KIVREN_ISOLATED_NETWORK";

TEST(MacHostServiceIsolated, Start_LaunchesRealSwitchboardOnFixedPort)
{
    if (!qEnvironmentVariableIsSet(isolatedMarker)) {
        const QString unshare = QStandardPaths::findExecutable(QStringLiteral("unshare"));
        if (unshare.isEmpty())
            GTEST_SKIP() << "unshare is not available";
        // Only this test, again, in a namespace of its own.
        QProcess probe;
        probe.start(unshare, {QStringLiteral("--net"), QStringLiteral("true")});
        if (!probe.waitForFinished(10000) || probe.exitCode() != 0)
            GTEST_SKIP() << "no permission for a network namespace";
        QProcess isolated;
        isolated.setProcessChannelMode(QProcess::ForwardedChannels);
        const QString self = QCoreApplication::applicationFilePath();
        isolated.start(unshare, {QStringLiteral("--net"), QStringLiteral("sh"), QStringLiteral("-c"),
                                 QStringLiteral("ip link set lo up && exec env %1=1 \"$0\" "
                                                "--gtest_filter=MacHostServiceIsolated.*")
                                     .arg(QString::fromLatin1(isolatedMarker)),
                                 self});
        ASSERT_TRUE(isolated.waitForFinished(120000));
        EXPECT_EQ(isolated.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(isolated.exitCode(), 0);
        return;
    }

    HostServiceBench bench;
    MacHostService::Options options;
    options.settings = &bench.settings();
    options.computerName = ComputerName::current();
    options.desktop = &bench.desktop;
    options.timing = HostServiceBench::fastTiming();
    options.timing.tunnelDelay = std::chrono::milliseconds(50);
    options.tunnelTiming.firstRetry = std::chrono::milliseconds(50);
    // Everything else as the app has it: loopback base, real roots, children started.
    ASSERT_EQ(options.switchboardBase, QStringLiteral("http://127.0.0.1:17880"));
    ASSERT_TRUE(options.startChildren);
    if (!KivrenCloudProcess::whichNode(options.launcherRoots) || !KivrenCloudProcess::findScript(options.launcherRoots))
        GTEST_SKIP() << "no node or no switchboard script on this machine";

    auto service = std::make_unique<MacHostService>(std::move(options));
    ASSERT_NE(KivrenCloudProcess::process(), nullptr);
    // Proven, registered, and the tunnel this machine can run was started: the status names
    // this computer's switchboard, or what keeps the tunnel from publishing it.
    const KivrenTunnel probeTunnel(KivrenTunnel::defaultSearchDirectories(QDir::homePath()), QString());
    const bool anyTool = probeTunnel.which(QStringLiteral("cloudflared")) || probeTunnel.which(QStringLiteral("ssh"));
    const QString local = QStringLiteral("Waiting for an internet address \u00B7 ") + KivrenIds::formatId(service->publicId());
    const QStringList registered = anyTool
        ? QStringList{local, QStringLiteral("No internet connection: other computers cannot reach this one yet. KivrenRemote keeps trying; the ID and password stay the same"), QStringLiteral("No internet connection: other computers cannot reach this one yet. KivrenRemote keeps trying; the ID and password stay the same")}
        : QStringList{QStringLiteral("Other computers cannot reach this one: install cloudflared or openssh-client to give it an internet address")};
    EXPECT_TRUE(QTest::qWaitFor([&] { return service->switchboardProven() && registered.contains(service->status()); },
                                30000))
        << service->status().toStdString();
    QTest::qWait(200);
    // Without a network, the tunnel found no origin.
    EXPECT_EQ(service->tunnel().state() != KivrenTunnel::State::noTool, anyTool);
    EXPECT_EQ(service->origin(), QString());

    service.reset();
    KivrenCloudProcess::stop();
}

} // namespace
