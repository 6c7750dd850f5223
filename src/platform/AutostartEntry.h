#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

// This app's entry in the user's XDG autostart folder (`kivrenremote.desktop`): present, the
// desktop session starts the app when the person logs in. The app writes and removes it; the
// person may also switch it off in the desktop's own settings, which mark it hidden rather than
// remove it, and that counts as off here too.
//
// The entry names the program by its full path and again as TryExec, so once the program is
// uninstalled the session skips the entry the person's home still holds.
class AutostartEntry
{
public:
    static inline const QString fileName = QStringLiteral("kivrenremote.desktop");

    // $XDG_CONFIG_HOME/autostart, or <home>/.config/autostart when it is unset, empty or relative
    // (the XDG base directory rules).
    static QString folderFor(const QString &xdgConfigHome, const QString &home);
    // The user's own: from this process's environment.
    static QString userFolder();

    explicit AutostartEntry(QString folder = userFolder());

    QString path() const;

    // True when the entry exists and the session would start it.
    bool isEnabled() const;

    // Writes the entry starting `program` with `arguments` (replacing one switched off or
    // stale). The error, in words a person can act on, when it could not be written.
    std::optional<QString> enable(const QString &program, const QStringList &arguments) const;
    // Removes the entry; none there is fine.
    std::optional<QString> disable() const;

    // The entry's whole text.
    static QByteArray contents(const QString &program, const QStringList &arguments);
    // The Exec value for a command line: each argument quoted where the desktop entry rules ask
    // for it, then written as a desktop entry string.
    static QString execValue(const QString &program, const QStringList &arguments);
    // The command line an Exec value stands for (the inverse of execValue, field codes aside);
    // none when it is malformed.
    static std::optional<QStringList> commandOf(const QString &execValue);
    // Whether an entry's text leaves it on: not Hidden, not switched off by GNOME's key.
    static bool enabledIn(const QByteArray &contents);

private:
    QString m_folder;
};
