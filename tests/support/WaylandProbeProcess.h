#pragma once

// The test's own Wayland client (WaylandProbe.cpp) as a child process: started full screen on
// the session's compositor, its report lines collected as they come, killed when the object goes.
// Header-only so that benchmarks can use it without the test libraries.

#include "WaitUntil.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QSize>
#include <QStringList>

#include <functional>

#ifndef KIVREN_WAYLAND_PROBE
#error "KIVREN_WAYLAND_PROBE must name the probe executable"
#endif

class WaylandProbeProcess
{
public:
    // Colours of the four quadrants, top-left, top-right, bottom-left, bottom-right (0xRRGGBB).
    static constexpr unsigned quadrantColours[4] = {0xdc1e1e, 0x1ec81e, 0x1e1edc, 0xe6c81e};

    explicit WaylandProbeProcess(bool animate = false)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
        // Client-side decorations would draw over the pattern while the window is not yet full screen.
        environment.insert(QStringLiteral("QT_WAYLAND_DISABLE_WINDOWDECORATION"), QStringLiteral("1"));
        m_process.setProcessEnvironment(environment);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList arguments;
        if (animate)
            arguments << QStringLiteral("--animate");
        m_process.start(QStringLiteral(KIVREN_WAYLAND_PROBE), arguments);
    }

    ~WaylandProbeProcess()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    WaylandProbeProcess(const WaylandProbeProcess &) = delete;
    WaylandProbeProcess &operator=(const WaylandProbeProcess &) = delete;

    // Waits until the window is painted full screen; its size then.
    QSize waitReady(int timeoutMs)
    {
        QSize size;
        waitFor(
            [&](const QString &line) {
                const QStringList words = line.split(QLatin1Char(' '));
                if (words.size() == 3 && words[0] == QStringLiteral("ready"))
                    size = QSize(words[1].toInt(), words[2].toInt());
                return size.isValid();
            },
            timeoutMs);
        return size;
    }

    // Waits until some line reported so far satisfies `match`.
    bool waitFor(const std::function<bool(const QString &)> &match, int timeoutMs)
    {
        return waitUntil(
            [&] {
                for (const QString &line : lines()) {
                    if (match(line))
                        return true;
                }
                return false;
            },
            timeoutMs, 20, 10);
    }

    // Every line reported so far.
    const QStringList &lines()
    {
        m_pending += m_process.readAllStandardOutput();
        for (qsizetype end = m_pending.indexOf('\n'); end >= 0; end = m_pending.indexOf('\n')) {
            m_lines << QString::fromUtf8(m_pending.left(end));
            m_pending.remove(0, end + 1);
        }
        return m_lines;
    }

    bool running() const { return m_process.state() != QProcess::NotRunning; }

private:
    QProcess m_process;
    QByteArray m_pending;
    QStringList m_lines;
};
