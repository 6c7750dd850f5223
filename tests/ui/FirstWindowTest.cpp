// The first window on the screens people have: Connect in view without scrolling, and a window
// that can shrink to fit even a 1080-line screen at twice the scale.
#include "XvfbServer.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QRect>
#include <QStringList>

#include <gtest/gtest.h>

#include <map>

namespace {

struct ScreenCase
{
    const char *name;
    int width;
    int height;
    const char *scale;
};

void PrintTo(const ScreenCase &row, std::ostream *out)
{
    *out << row.name;
}

// What ui_first_window printed, by line name.
std::map<QString, QList<int>> readOut(const QByteArray &output)
{
    std::map<QString, QList<int>> values;
    for (const QByteArray &line : output.split('\n')) {
        const QStringList parts = QString::fromUtf8(line).split(u' ', Qt::SkipEmptyParts);
        if (parts.isEmpty())
            continue;
        QList<int> numbers;
        for (qsizetype i = 1; i < parts.size(); ++i)
            numbers << parts[i].toInt();
        values[parts[0]] = numbers;
    }
    return values;
}

QRect rect(const QList<int> &v)
{
    return v.size() == 4 ? QRect(v[0], v[1], v[2], v[3]) : QRect();
}

class FirstWindow : public ::testing::TestWithParam<ScreenCase> {};

TEST_P(FirstWindow, Connect_InViewWithoutScrolling_AndTheWindowShrinksToFit)
{
    const ScreenCase c = GetParam();
    XvfbServer xvfb(c.width, c.height);
    ASSERT_TRUE(xvfb.running());
    QProcess window;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), QString::fromStdString(xvfb.name()));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("QT_SCALE_FACTOR"), QString::fromLatin1(c.scale));
    env.remove(QStringLiteral("QT_SCREEN_SCALE_FACTORS"));
    env.insert(QStringLiteral("QT_FONT_DPI"), QStringLiteral("96"));
    // As for the app in the end-to-end tests: libdbus keeps a buffer to the end when no session
    // bus answers. The same window is checked for leaks in this process by the other ui tests.
    env.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    window.setProcessEnvironment(env);
    window.setProcessChannelMode(QProcess::SeparateChannels);
    window.start(QStringLiteral(KIVREN_FIRST_WINDOW), {});
    ASSERT_TRUE(window.waitForFinished(60000));
    ASSERT_EQ(window.exitCode(), 0) << window.readAllStandardError().toStdString();
    const auto out = readOut(window.readAllStandardOutput());

    const QRect screen = rect(out.at(QStringLiteral("screen")));
    const QRect frame = rect(out.at(QStringLiteral("window")));
    const QRect connect = rect(out.at(QStringLiteral("connect")));
    const double scale = QString::fromLatin1(c.scale).toDouble();
    EXPECT_EQ(screen.size(), QSize(int(c.width / scale), int(c.height / scale)));
    // The whole window on the screen, Connect inside it, drawn whole, nothing scrolled.
    EXPECT_TRUE(screen.contains(frame)) << frame.x() << "," << frame.y() << " " << frame.width() << "x" << frame.height();
    EXPECT_TRUE(QRect(QPoint(0, 0), frame.size()).contains(connect))
        << connect.x() << "," << connect.y() << " " << connect.width() << "x" << connect.height();
    EXPECT_EQ(out.at(QStringLiteral("connectShown")), (QList<int>{connect.width(), connect.height()}));
    EXPECT_EQ(out.at(QStringLiteral("scrolled")), QList<int>{0});
    // Room for a panel and a title bar besides the smallest window.
    const QList<int> minimum = out.at(QStringLiteral("minimum"));
    constexpr int kPanelAndTitle = 80;
    EXPECT_LE(minimum.value(1) + kPanelAndTitle, screen.height());
    EXPECT_LE(minimum.value(0), screen.width());
    EXPECT_EQ(out.at(QStringLiteral("shrunk")), minimum);
}

INSTANTIATE_TEST_SUITE_P(
    Screens, FirstWindow,
    ::testing::Values(ScreenCase{"Laptop1366x768", 1366, 768, "1"}, ScreenCase{"FullHdAtScale2", 1920, 1080, "2"},
                      ScreenCase{"FullHd", 1920, 1080, "1"}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
