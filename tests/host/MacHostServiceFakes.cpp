#include "MacHostServiceFakes.h"

#include "TaskGroup.h"

#include <QTest>

#include <gtest/gtest.h>

#include <vector>

namespace {

QString pointText(QPointF point)
{
    return QStringLiteral("%1,%2").arg(point.x()).arg(point.y());
}

} // namespace

std::optional<ScreenImage> FakeDesktop::captureMainDisplay()
{
    ++captures;
    if (!hasPicture)
        return std::nullopt;
    constexpr int width = 64;
    constexpr int height = 40;
    auto pixels = std::make_shared<std::vector<std::uint8_t>>(std::size_t(width) * height * 4, shade);
    return ScreenImage{width, height, width * 4, pixels->data(), pixels};
}

void FakeDesktop::warpPointer(QPointF point)
{
    events << QStringLiteral("warp ") + pointText(point);
}

void FakeDesktop::postMouse(MouseEvent type, QPointF point, std::int64_t clickState)
{
    events << QStringLiteral("mouse %1 %2 c%3").arg(int(type)).arg(pointText(point)).arg(clickState);
}

void FakeDesktop::postScroll(QPointF point, std::int32_t deltaY)
{
    events << QStringLiteral("scroll %1 %2").arg(pointText(point)).arg(deltaY);
}

void FakeDesktop::postKey(NamedKey key, bool down)
{
    events << QStringLiteral("key %1 %2").arg(codeName(key), down ? QStringLiteral("down") : QStringLiteral("up"));
}

qsizetype FakeDesktop::typeText(const QString &text)
{
    events << QStringLiteral("text ") + text;
    return text.size();
}

void FakeDesktop::holdModifiers(KeyModifiers modifiers)
{
    events << QStringLiteral("hold ") + modifiers.names().join(u'+');
}

HostServiceBench::HostServiceBench()
    : m_settings(std::make_unique<SettingsStore>(m_dir.filePath(QStringLiteral("settings.ini"))))
{
}

HostServiceBench::~HostServiceBench()
{
    QTest::qWait(100);
}

MacHostService::Timing HostServiceBench::fastTiming()
{
    using namespace std::chrono_literals;
    return {20ms, 100ms, 1h, 20ms};
}

MacHostService::Timing HostServiceBench::quietTiming()
{
    using namespace std::chrono_literals;
    return {1h, 1h, 1h, 20ms};
}

std::unique_ptr<MacHostService> HostServiceBench::make(const QString &base, MacHostService::Timing timing,
                                                       std::optional<HostKey> key)
{
    MacHostService::Options options;
    options.settings = m_settings.get();
    options.switchboardBase = base;
    options.launcherRoots = {m_dir.filePath(QStringLiteral("home")), {}, std::nullopt};
    options.tunnelDirectories = {m_dir.filePath(QStringLiteral("tools")) + QLatin1Char('/')};
    options.desktop = &desktop;
    options.computerName = QStringLiteral("Studio Mac");
    options.startChildren = false;
    options.switchboardKey = std::move(key);
    options.timing = timing;
    return std::make_unique<MacHostService>(std::move(options), nullptr);
}

void HostServiceBench::runToEnd(const std::function<StoppableTask<>(std::stop_token)> &request)
{
    TaskGroup tasks;
    tasks.start(request);
    ASSERT_TRUE(QTest::qWaitFor([&] { return tasks.running() == 0; }, 20000));
}
