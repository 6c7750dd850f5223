#include "KivrenCloudProcess.h"

#include "ChildLifetime.h"
#include "HostKey.h"
#include "SwitchboardChild.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QProcessEnvironment>

#include <algorithm>

namespace {

const QString portVariable = QStringLiteral("KIVREN_PORT");
const QString versionManagerFolder = QStringLiteral("/.nvm/versions/node");
const QString scriptName = QStringLiteral("server.mjs");
const QString installedScript = QStringLiteral("/../share/kivrenremote/server.mjs");

// Owned by the application object, so a normal exit destroys it and ends the child.
QPointer<SwitchboardChild> &launched()
{
    static QPointer<SwitchboardChild> process;
    return process;
}

bool isExecutableFile(const QString &path)
{
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

} // namespace

namespace KivrenCloudProcess {

Roots Roots::system()
{
    Roots roots;
    roots.home = QDir::homePath();
    roots.nodeCandidates = {QStringLiteral("/opt/homebrew/bin/node"), QStringLiteral("/usr/local/bin/node"),
                            QStringLiteral("/usr/bin/node")};
    // The build directory and its switchboard, as CMake knew them; canonical, like the folder
    // the system reports for the executable, so that a link to either still compares equal.
    const QString buildTree = QFileInfo(QStringLiteral(KIVREN_BUILD_TREE)).canonicalFilePath();
    roots.shippedScript = shippedScriptFor(QFileInfo(QCoreApplication::applicationDirPath()).canonicalFilePath(),
                                           buildTree, QStringLiteral(KIVREN_BUILD_TREE_SCRIPT));
    return roots;
}

QString shippedScriptFor(const QString &executableFolder, const QString &buildTree, const QString &buildTreeScript)
{
    const bool inBuildTree = !buildTree.isEmpty()
        && (executableFolder == buildTree || executableFolder.startsWith(buildTree + QLatin1Char('/')));
    if (inBuildTree)
        return buildTreeScript;
    return QDir::cleanPath(executableFolder + installedScript);
}

QStringList switchboardFiles()
{
    return QStringLiteral(KIVREN_SWITCHBOARD_FILES).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

std::optional<QString> whichNode(const Roots &roots)
{
    // An unreadable or missing version-manager folder just adds no candidates.
    const QString folder = roots.home + versionManagerFolder;
    QStringList names = QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    // Plain string order, greatest first: not a version comparison, so v9.11.2 comes before
    // v22.23.1.
    std::sort(names.begin(), names.end(), [](const QString &a, const QString &b) {
        return QString::compare(a, b, Qt::CaseSensitive) < 0;
    });
    QStringList managed;
    for (auto name = names.crbegin(); name != names.crend(); ++name) {
        const QString candidate = folder + QLatin1Char('/') + *name + QStringLiteral("/bin/node");
        if (isExecutableFile(candidate))
            managed << candidate;
    }
    const QStringList candidates = roots.nodeCandidates + managed;
    for (const QString &candidate : candidates) {
        if (isExecutableFile(candidate))
            return candidate;
    }
    return std::nullopt;
}

std::optional<QString> findScript(const Roots &roots)
{
    if (roots.shippedScript && missingFile(roots).isEmpty())
        return roots.shippedScript;
    return std::nullopt;
}

QString missingFile(const Roots &roots)
{
    if (!roots.shippedScript)
        return scriptName;
    const QFileInfo script(*roots.shippedScript);
    if (!script.isFile() || !script.isReadable())
        return script.filePath();
    const QDir folder = script.dir();
    for (const QString &name : switchboardFiles()) {
        if (!QFileInfo(folder.filePath(name)).isFile())
            return folder.filePath(name);
    }
    return {};
}

Launch start(const Roots &roots, quint16 port)
{
    // One switchboard per program: a child that still runs keeps serving the port.
    QPointer<SwitchboardChild> &slot = launched();
    if (slot && slot->state() != QProcess::NotRunning)
        return Launch::alreadyRunning;
    // Without node or the script this machine runs no switchboard of its own.
    const std::optional<QString> node = whichNode(roots);
    if (!node)
        return Launch::noNode;
    const std::optional<QString> script = findScript(roots);
    if (!script)
        return Launch::noScript;

    // A new key for every child: one that outlived its child proves nothing to anybody.
    auto *child = new SwitchboardChild(HostKey::generate(), QCoreApplication::instance());
    child->setProgram(*node);
    child->setArguments({*script});
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(portVariable, QString::number(port));
    environment.insert(HostKey::environmentVariable, QString::fromLatin1(child->hostKey().environmentValue()));
    child->setProcessEnvironment(environment);
    ChildLifetime::endWithParent(*child);

    // A refused launch keeps the previous handle, so process() still names the last child that
    // started.
    child->start(QIODevice::ReadOnly);
    if (!child->waitForStarted()) {
        delete child;
        return Launch::refused;
    }
    delete slot.data();
    slot = child;
    return Launch::started;
}

SwitchboardChild *process()
{
    return launched().data();
}

void stop()
{
    if (SwitchboardChild *child = launched().data())
        ChildLifetime::end(*child);
}

} // namespace KivrenCloudProcess
