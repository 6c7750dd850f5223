// Long text into a real Qt client on a private Xvfb, through the host's input queue and the X11
// backend, pass by pass as the session loop types it.
#include "DisplayGeometry.h"
#include "HostInputQueue.h"
#include "ProbeClient.h"
#include "WaitUntil.h"
#include "X11DesktopBackend.h"
#include "XvfbServer.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <optional>
#include <string>

#include <signal.h>

namespace {

using namespace SessionProtocol;

// Characters the keymap lacks, many of them different, as a Chinese text has.
QString cjkText(int length)
{
    std::u32string text;
    for (int i = 0; i < length; ++i)
        text += static_cast<char32_t>(0x4E00 + (i * 37) % 400);
    return QString::fromStdU32String(text);
}

// A client that falls behind: stopped for a while after the first pass (as a busy machine
// leaves a client unscheduled), while the passes go on.
struct Stall
{
    std::string name;
    std::chrono::milliseconds stopped{0};

    friend void PrintTo(const Stall &stall, std::ostream *out) { *out << stall.name; }
};

// Sends SIGCONT to a stopped process when it goes, so a failed assertion leaves no probe stopped.
class StoppedProcess
{
public:
    explicit StoppedProcess(qint64 pid)
        : m_pid(static_cast<pid_t>(pid))
    {
        ::kill(m_pid, SIGSTOP);
    }
    ~StoppedProcess() { resume(); }
    StoppedProcess(const StoppedProcess &) = delete;
    StoppedProcess &operator=(const StoppedProcess &) = delete;
    void resume()
    {
        if (m_pid > 0)
            ::kill(m_pid, SIGCONT);
        m_pid = 0;
    }

private:
    pid_t m_pid;
};

class HostInputQueueX11 : public ::testing::TestWithParam<Stall>
{
};

// The keycodes borrowed for the missing characters are mapped anew while the client may not
// have read the keys typed through them yet: a client that reads a key against a later mapping
// types the wrong character.
TEST_P(HostInputQueueX11, LongTextMissingFromKeymap_ArrivesRightInSlicesWithTheClickAfterIt)
{
    XvfbServer server(1024, 768);
    ASSERT_TRUE(server.running());
    QTemporaryDir dir;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), QString::fromStdString(server.name()));
    ProbeClient probe(environment, dir.filePath(QStringLiteral("probe.state")));
    ASSERT_TRUE(probe.waitReady());
    auto backend = X11DesktopBackend::open(QString::fromStdString(server.name()));
    ASSERT_TRUE(backend);
    const DisplayGeometry geometry{1024, 768, 0, 0};

    const QString text = cjkText(600);
    const QPoint beta = probe.word(QStringLiteral("beta"));
    HostInputQueue queue;
    queue.append(Text{text});
    // A click on the words line behind the text: it must wait until the text is done.
    for (const RemoteInput::Kind kind : {RemoteInput::Kind::down, RemoteInput::Kind::up})
        queue.append(Input{RemoteInput{kind, beta.x() / 1024.0, beta.y() / 768.0, 0, 1, 0, 0}});

    int passes = 0;
    qint64 longestPassMs = 0;
    QElapsedTimer all;
    all.start();
    std::optional<StoppedProcess> stopped;
    QElapsedTimer stoppedFor;
    while (!queue.isEmpty() && passes < 1000) {
        QElapsedTimer pass;
        pass.start();
        queue.applyPass(*backend, geometry);
        longestPassMs = std::max(longestPassMs, pass.elapsed());
        ++passes;
        if (passes == 1 && GetParam().stopped.count() > 0) {
            stopped.emplace(probe.processId());
            stoppedFor.start();
        }
        if (stopped && stoppedFor.elapsed() >= GetParam().stopped.count())
            stopped->resume();
        // The session loop's pause between passes.
        QThread::msleep(90);
    }
    std::cout << "600 characters in " << passes << " passes, " << all.elapsed() << " ms; longest pass "
              << longestPassMs << " ms\n";

    ASSERT_TRUE(waitUntil([&] { return probe.text().size() >= text.size(); }, 30000)) << probe.text().size();
    const QString typed = probe.text();
    int wrong = 0;
    for (qsizetype i = 0; i < std::min(typed.size(), text.size()); ++i)
        wrong += typed.at(i) != text.at(i);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(typed, text);
    EXPECT_GT(passes, int(text.size() / HostInputQueue::charactersPerPass));
    // The click came after the last character: the caret left the field only then.
    EXPECT_TRUE(waitUntil([&] { return probe.selected().isEmpty() && probe.text() == text; }, 5000));
}

INSTANTIATE_TEST_SUITE_P(Clients, HostInputQueueX11,
                         ::testing::Values(Stall{"Steady", std::chrono::milliseconds(0)},
                                           // Several times the rest a borrowed keycode once had.
                                           Stall{"FallsBehind", std::chrono::milliseconds(2000)}),
                         [](const auto &info) { return info.param.name; });

} // namespace
