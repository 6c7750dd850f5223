#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// Small shell scripts standing in for node, cloudflared and ssh in a temporary tree.
namespace FakeTools {

// Writes an executable /bin/sh script (creating its folders).
void writeScript(const QString &path, const QByteArray &body);
// A plain, non-executable file.
void writeFile(const QString &path, const QByteArray &contents = {});
// Runs the event loop until `done` holds or `timeoutMs` passes; returns `done()`.
bool spinUntil(const std::function<bool()> &done, int timeoutMs = 10000);
// The file's contents once it exists (scripts write to a temporary name and rename).
QByteArray waitForFile(const QString &path, int timeoutMs = 10000);
// True when no process has this id any more (a zombie left for init to reap counts as gone).
bool processGone(qint64 pid);

} // namespace FakeTools
