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
const QString developmentScripts[] = {
    QStringLiteral("/Downloads/KivrenRemote/cloud/server.mjs"),
    QStringLiteral("/Downloads/bramble 2/../KivrenRemote/cloud/server.mjs"),
};

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
    // An installed program keeps the script in its share folder; a development build uses the
    // source tree's copy.
    const QString installed =
        QCoreApplication::applicationDirPath() + QStringLiteral("/../share/kivrenremote/server.mjs");
    if (isCompleteScript(installed))
        roots.shippedScript = QFileInfo(installed).canonicalFilePath();
#ifdef KIVREN_BUILD_TREE_SCRIPT
    else if (isCompleteScript(QStringLiteral(KIVREN_BUILD_TREE_SCRIPT)))
        roots.shippedScript = QStringLiteral(KIVREN_BUILD_TREE_SCRIPT);
#endif
    return roots;
}

QStringList switchboardFiles()
{
    return QStringLiteral(KIVREN_SWITCHBOARD_FILES).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

bool isCompleteScript(const QString &script)
{
    const QFileInfo info(script);
    if (!info.isFile())
        return false;
    const QDir folder = info.dir();
    const QStringList files = switchboardFiles();
    return std::all_of(files.cbegin(), files.cend(),
                       [&folder](const QString &name) { return QFileInfo(folder.filePath(name)).isFile(); });
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
    if (roots.shippedScript)
        return roots.shippedScript;
    for (const QString &relative : developmentScripts) {
        // The ".." is resolved by the file system: the path names a file only when
        // "bramble 2" really exists.
        const QString path = roots.home + relative;
        const QFileInfo info(path);
        if (info.isFile() && info.isReadable() && isCompleteScript(path))
            return path;
    }
    return std::nullopt;
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
