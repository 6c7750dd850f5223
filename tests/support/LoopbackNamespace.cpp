#include "LoopbackNamespace.h"

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

namespace LoopbackNamespace {

namespace {

constexpr auto kMarker = "KIVREN_E2E_IN_NAMESPACE";
constexpr int kStartMs = 10000;

} // namespace

bool inside()
{
    return !qEnvironmentVariableIsEmpty(kMarker);
}

bool available()
{
    return QProcess::execute(QStringLiteral("unshare"), {QStringLiteral("--net"), QStringLiteral("true")}) == 0;
}

bool rerunCurrentTest(int timeoutMs)
{
    QProcess inner;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(kMarker), QStringLiteral("1"));
    inner.setProcessEnvironment(env);
    inner.setProcessChannelMode(QProcess::ForwardedChannels);
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    inner.start(QStringLiteral("unshare"),
                {QStringLiteral("--net"), QStringLiteral("sh"), QStringLiteral("-c"),
                 QStringLiteral("ip link set lo up && exec \"$0\" \"$@\""), QCoreApplication::applicationFilePath(),
                 QStringLiteral("--gtest_filter=%1.%2").arg(QString::fromLatin1(info->test_suite_name()),
                                                            QString::fromLatin1(info->name()))});
    if (!inner.waitForStarted(kStartMs) || !inner.waitForFinished(timeoutMs)) {
        inner.kill();
        inner.waitForFinished();
        return false;
    }
    return inner.exitStatus() == QProcess::NormalExit && inner.exitCode() == 0;
}

} // namespace LoopbackNamespace
