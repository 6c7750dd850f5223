#pragma once

#include <QString>
#include <QStringList>

// KivrenRemote's command line: every option it takes, read into LaunchOptions. Later options
// join the table in CommandLine.cpp, and so `--help` lists them.
namespace CommandLine {

// Start without putting the window over the person's work: in the system tray when there is one,
// else minimised. The autostart entry starts the app this way.
inline const QString minimizedOption = QStringLiteral("minimized");

struct LaunchOptions
{
    bool minimized = false;
};

struct Parsed
{
    enum class Action { run, help, version, error };
    Action action = Action::run;
    LaunchOptions options;
    // The reason, for an error.
    QString error;
};

// The options as the arguments (the program first) give them. Help and version win over
// everything else, a mistake included, so they always answer.
Parsed parse(const QStringList &arguments);
// The text `--help` prints: usage (naming the running program), what the app is, every option.
QString helpText();
// The line `--version` prints.
QString versionText();
// What an unattended start is given (the autostart entry's arguments).
QStringList unattendedArguments();

} // namespace CommandLine
