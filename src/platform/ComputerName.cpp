#include "ComputerName.h"

#include <QFile>
#include <QSysInfo>

namespace ComputerName {

namespace {

QString prettyHostName()
{
    QFile file(QStringLiteral("/etc/machine-info"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        static const QString key = QStringLiteral("PRETTY_HOSTNAME=");
        if (!line.startsWith(key))
            continue;
        QString value = line.mid(key.size());
        if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') && value.back() == value.front())
            value = value.mid(1, value.size() - 2);
        return value.trimmed();
    }
    return {};
}

} // namespace

std::optional<QString> current()
{
    QString name = prettyHostName();
    if (name.isEmpty())
        name = QSysInfo::machineHostName().trimmed();
    if (name.isEmpty())
        return std::nullopt;
    return name;
}

} // namespace ComputerName
