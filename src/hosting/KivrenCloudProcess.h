#pragma once

#include <QString>
#include <QStringList>

#include <optional>

class QProcess;

// Starts the local switchboard: the script server.mjs under node, told to serve on
// KIVREN_PORT = LocalSwitchboard::port, whatever the application inherited. Holds the one child
// process of the whole program; reports nothing. Main thread only.
namespace KivrenCloudProcess {

// Where the search looks. The app uses system(); tests point every root at a temporary tree.
struct Roots
{
    // The user's home directory, without a trailing slash.
    QString home;
    // Fixed node candidates, tried first and in this order.
    QStringList nodeCandidates;
    // The script shipped with the program, preferred over the development locations without
    // further checks (the installed share/kivrenremote/server.mjs, else the build tree's copy).
    std::optional<QString> shippedScript;

    // The real roots: QDir::homePath(), /opt/homebrew/bin/node, /usr/local/bin/node,
    // /usr/bin/node, and the script beside the executable or in the source tree.
    static Roots system();
};

// The first executable node: the fixed candidates, then home/.nvm/versions/node/<name>/bin/node
// for each entry name in descending plain string order (v9.11.2 before v22.23.1).
std::optional<QString> whichNode(const Roots &roots);
// The shipped script, else the first readable development copy under home/Downloads.
std::optional<QString> findScript(const Roots &roots);

// Launches node with the script unless the child is still running. Silent on every failure.
void start(const Roots &roots = Roots::system());

// The child of the last successful launch (owned by the application object); null before.
QProcess *process();
// Ends the child and waits for it; also done when the application object goes away.
void stop();

} // namespace KivrenCloudProcess
