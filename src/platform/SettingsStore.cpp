#include "SettingsStore.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t privateFolderMode = 0700;
constexpr mode_t privateFileMode = 0600;
constexpr mode_t permissionBits = 07777;

// Sets `mode` on a folder or file of this user's unless it already has exactly it. A folder
// shared by everyone (sticky, as /tmp) or another user's is not this store's to close, and a
// path of the other kind (a file where the folder should be) is left to fail the writes.
void keepMode(const QByteArray &path, mode_t type, mode_t mode)
{
    struct stat status {};
    if (::stat(path.constData(), &status) != 0 || status.st_uid != ::geteuid() || (status.st_mode & S_IFMT) != type)
        return;
    if (type == S_IFDIR && (status.st_mode & S_ISVTX))
        return;
    if ((status.st_mode & permissionBits) != mode)
        ::chmod(path.constData(), mode);
}

// The folder is made (its parents as the system makes them) and closed to others; the file is
// created empty if missing, so that the first write already lands in a private file, and an
// existing one is closed to others. Failures are left to the writes, which report them.
void makePrivate(const QString &file)
{
    const QFileInfo info(file);
    const QString folder = info.absolutePath();
    const QByteArray folderPath = QFile::encodeName(folder);
    if (!QFileInfo(folder).isDir()) {
        QDir().mkpath(QFileInfo(folder).absolutePath());
        ::mkdir(folderPath.constData(), privateFolderMode);
    }
    keepMode(folderPath, S_IFDIR, privateFolderMode);

    const QByteArray filePath = QFile::encodeName(info.absoluteFilePath());
    const int fd = ::open(filePath.constData(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, privateFileMode);
    if (fd >= 0)
        ::close(fd);
    keepMode(filePath, S_IFREG, privateFileMode);
}

} // namespace

SettingsStore::SettingsStore()
    : m_settings(std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                             QStringLiteral("KivrenRemote"), QStringLiteral("KivrenRemote")))
{
    makePrivate(m_settings->fileName());
}

SettingsStore::SettingsStore(const QString &iniPath)
    : m_settings(std::make_unique<QSettings>(iniPath, QSettings::IniFormat))
{
    makePrivate(m_settings->fileName());
}

SettingsStore::~SettingsStore() = default;

QString SettingsStore::folder() const
{
    return QFileInfo(m_settings->fileName()).absolutePath();
}

std::optional<QString> SettingsStore::text(const QString &key) const
{
    const QVariant v = m_settings->value(key);
    if (!v.isValid() || v.typeId() != QMetaType::QString)
        return std::nullopt;
    return v.toString();
}

std::optional<QByteArray> SettingsStore::bytes(const QString &key) const
{
    const QVariant v = m_settings->value(key);
    if (!v.isValid() || v.typeId() != QMetaType::QByteArray)
        return std::nullopt;
    return v.toByteArray();
}

bool SettingsStore::setText(const QString &key, const QString &value)
{
    m_settings->setValue(key, value);
    return sync();
}

bool SettingsStore::setBytes(const QString &key, const QByteArray &value)
{
    m_settings->setValue(key, value);
    return sync();
}

bool SettingsStore::sync()
{
    m_settings->sync();
    return m_settings->status() == QSettings::NoError;
}
