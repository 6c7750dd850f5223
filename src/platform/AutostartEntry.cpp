#include "AutostartEntry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>

namespace {

const QString desktopEntryGroup = QStringLiteral("[Desktop Entry]");
// An argument holding any of these is quoted (the desktop entry rules' reserved characters).
const QString reservedCharacters = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
// Escaped with a backslash inside a quoted argument.
const QString quotedEscapes = QStringLiteral("\"`$\\");

QString quoteArgument(const QString &argument)
{
    QString text = argument;
    text.replace(u'%', QStringLiteral("%%"));
    const bool plain = !text.isEmpty()
        && std::none_of(text.cbegin(), text.cend(), [](QChar c) { return reservedCharacters.contains(c); });
    if (plain)
        return text;
    QString quoted = QStringLiteral("\"");
    for (const QChar c : text) {
        if (quotedEscapes.contains(c))
            quoted += u'\\';
        quoted += c;
    }
    return quoted + u'"';
}

// A desktop entry string: backslash and the control characters a line cannot hold escaped.
QString escapeString(const QString &text)
{
    QString escaped;
    for (const QChar c : text) {
        switch (c.unicode()) {
        case u'\\': escaped += QStringLiteral("\\\\"); break;
        case u'\n': escaped += QStringLiteral("\\n"); break;
        case u'\t': escaped += QStringLiteral("\\t"); break;
        case u'\r': escaped += QStringLiteral("\\r"); break;
        default: escaped += c;
        }
    }
    if (escaped.startsWith(u' '))
        escaped.replace(0, 1, QStringLiteral("\\s"));
    return escaped;
}

std::optional<QString> unescapeString(const QString &text)
{
    QString plain;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != u'\\') {
            plain += text[i];
            continue;
        }
        if (++i == text.size())
            return std::nullopt;
        switch (text[i].unicode()) {
        case u's': plain += u' '; break;
        case u'n': plain += u'\n'; break;
        case u't': plain += u'\t'; break;
        case u'r': plain += u'\r'; break;
        case u'\\': plain += u'\\'; break;
        default: plain += u'\\'; plain += text[i];
        }
    }
    return plain;
}

} // namespace

QString AutostartEntry::folderFor(const QString &xdgConfigHome, const QString &home)
{
    const QString config = QDir::isAbsolutePath(xdgConfigHome) ? xdgConfigHome : home + QStringLiteral("/.config");
    return QDir::cleanPath(config + QStringLiteral("/autostart"));
}

QString AutostartEntry::userFolder()
{
    return folderFor(qEnvironmentVariable("XDG_CONFIG_HOME"), QDir::homePath());
}

AutostartEntry::AutostartEntry(QString folder)
    : m_folder(std::move(folder))
{
}

QString AutostartEntry::path() const
{
    return m_folder + u'/' + fileName;
}

bool AutostartEntry::isEnabled() const
{
    QFile file(path());
    return file.open(QIODevice::ReadOnly) && enabledIn(file.readAll());
}

std::optional<QString> AutostartEntry::enable(const QString &program, const QStringList &arguments) const
{
    if (!QDir().mkpath(m_folder))
        return QStringLiteral("%1 could not be made").arg(m_folder);
    QSaveFile file(path());
    if (!file.open(QIODevice::WriteOnly) || file.write(contents(program, arguments)) < 0 || !file.commit())
        return QStringLiteral("%1 could not be written: %2").arg(path(), file.errorString());
    return std::nullopt;
}

std::optional<QString> AutostartEntry::disable() const
{
    QFile file(path());
    if (!QFileInfo(file).exists() && !QFileInfo(file).isSymLink())
        return std::nullopt;
    if (!file.remove())
        return QStringLiteral("%1 could not be removed: %2").arg(path(), file.errorString());
    return std::nullopt;
}

QByteArray AutostartEntry::contents(const QString &program, const QStringList &arguments)
{
    const QString text = desktopEntryGroup + QStringLiteral("\n"
        "Type=Application\n"
        "Name=KivrenRemote\n"
        "Comment=Host this computer from login\n"
        "Icon=kivrenremote\n"
        "TryExec=") + escapeString(program) + QStringLiteral("\n"
        "Exec=") + execValue(program, arguments) + QStringLiteral("\n"
        "Terminal=false\n"
        "X-GNOME-Autostart-enabled=true\n");
    return text.toUtf8();
}

QString AutostartEntry::execValue(const QString &program, const QStringList &arguments)
{
    QStringList quoted{quoteArgument(program)};
    for (const QString &argument : arguments)
        quoted += quoteArgument(argument);
    return escapeString(quoted.join(u' '));
}

std::optional<QStringList> AutostartEntry::commandOf(const QString &execValue)
{
    const std::optional<QString> line = unescapeString(execValue);
    if (!line)
        return std::nullopt;
    QStringList command;
    QString current;
    bool inArgument = false;
    bool quoted = false;
    for (qsizetype i = 0; i < line->size(); ++i) {
        const QChar c = line->at(i);
        if (quoted) {
            if (c == u'"') {
                quoted = false;
            } else if (c == u'\\' && i + 1 < line->size() && quotedEscapes.contains(line->at(i + 1))) {
                current += line->at(++i);
            } else {
                current += c;
            }
        } else if (c == u' ' || c == u'\t') {
            if (inArgument)
                command += current;
            current.clear();
            inArgument = false;
            continue;
        } else if (c == u'"') {
            quoted = true;
        } else {
            current += c;
        }
        inArgument = true;
    }
    if (quoted)
        return std::nullopt;
    if (inArgument)
        command += current;
    for (QString &argument : command) {
        QString plain;
        for (qsizetype i = 0; i < argument.size(); ++i) {
            if (argument[i] != u'%') {
                plain += argument[i];
            } else if (i + 1 < argument.size() && argument[i + 1] == u'%') {
                plain += u'%';
                ++i;
            } else {
                return std::nullopt;
            }
        }
        argument = plain;
    }
    if (command.isEmpty())
        return std::nullopt;
    return command;
}

bool AutostartEntry::enabledIn(const QByteArray &contents)
{
    bool inEntry = false;
    for (const QByteArray &raw : contents.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('[')) {
            inEntry = line == desktopEntryGroup.toUtf8();
            continue;
        }
        if (!inEntry)
            continue;
        const qsizetype equals = line.indexOf('=');
        if (equals < 0)
            continue;
        const QByteArray key = line.left(equals).trimmed();
        const QByteArray value = line.mid(equals + 1).trimmed();
        if ((key == "Hidden" && value == "true") || (key == "X-GNOME-Autostart-enabled" && value == "false"))
            return false;
    }
    return true;
}
