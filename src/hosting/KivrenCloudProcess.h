#pragma once

#include "LocalSwitchboard.h"

#include <QString>
#include <QStringList>

#include <optional>

class SwitchboardChild;

// Starts the local switchboard: the script server.mjs under node, told to serve on
// KIVREN_PORT = LocalSwitchboard::port and given a fresh HostKey in KIVREN_HOST_KEY, whatever the
// application inherited. Holds the one child process of the whole program, which reads the
// child's output and says whether it listens. Main thread only.
namespace KivrenCloudProcess {

// What one start() did.
enum class Launch {
    started,        // a new child runs (it may still fail to listen: see its phase)
    alreadyRunning, // the child of an earlier start still runs; nothing new
    noNode,         // no node executable anywhere it looks
    noScript,       // node, but no complete switchboard script
    refused,        // the system would not start node
};

// Where the search looks. The app uses system(); tests point every root at a temporary tree.
struct Roots
{
    // The user's home directory, without a trailing slash (for the version manager's nodes).
    QString home;
    // Fixed node candidates, tried first and in this order.
    QStringList nodeCandidates;
    // The one place the switchboard script is looked for (see shippedScriptFor); none: nowhere.
    // It is used only when complete. Nothing else is searched: a copy found elsewhere, say in a
    // download folder, could be anybody's and would be handed this launch's key.
    std::optional<QString> shippedScript;

    // The real roots: QDir::homePath(), /opt/homebrew/bin/node, /usr/local/bin/node,
    // /usr/bin/node, and the script of the tree the executable runs from.
    static Roots system();
};

// The script an executable in `executableFolder` runs: the switchboard of this very build
// (`buildTreeScript`) when the executable lies inside the build directory `buildTree`, else the
// installed one beside it, <executableFolder>/../share/kivrenremote/server.mjs. Both folders are
// canonical paths; an empty `buildTree` (one that no longer exists) matches nothing.
QString shippedScriptFor(const QString &executableFolder, const QString &buildTree, const QString &buildTreeScript);

// The switchboard is server.mjs and the modules it imports, all in one folder: a copy with one
// of them missing would start, stop at its first import and leave no switchboard. These are
// their file names as this build installs them, server.mjs among them.
QStringList switchboardFiles();

// The first executable node: the fixed candidates, then home/.nvm/versions/node/<name>/bin/node
// for each entry name in descending plain string order (v9.11.2 before v22.23.1).
std::optional<QString> whichNode(const Roots &roots);
// The shipped script when it is complete; none otherwise.
std::optional<QString> findScript(const Roots &roots);
// What keeps findScript from finding one, as the path of the file missing (server.mjs itself
// first, then the first missing module); empty when nothing is missing.
QString missingFile(const Roots &roots);

// Launches node with the script unless the child is still running, told to serve on `port`
// (0: any free port, which the child then names). Logs nothing; the outcome says what happened.
Launch start(const Roots &roots = Roots::system(), quint16 port = LocalSwitchboard::port);

// The child of the last successful launch (owned by the application object); null before.
SwitchboardChild *process();
// Ends the child and waits for it; also done when the application object goes away.
void stop();

} // namespace KivrenCloudProcess
