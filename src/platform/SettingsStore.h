#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

class QSettings;

// The per-user key/value store behind the "kivren.*" settings.
// The default instance is the user's own store; tests pass a file of their own.
//
// The file holds this computer's password and host token, so it is kept for the user alone: the
// file 0600 in a folder 0700 (the store's own folder, made so if it is missing). Both are put
// right when the store is opened, so a file an older build left readable by others is closed at
// the next start; files written later keep the file's mode.
class SettingsStore
{
public:
    // The user's default store (QSettings with the application's organisation and name, in a
    // folder of its own under the user's config folder).
    SettingsStore();
    // A store kept in the given INI file (created empty if missing), in a folder of its own.
    explicit SettingsStore(const QString &iniPath);
    ~SettingsStore();
    SettingsStore(const SettingsStore &) = delete;
    SettingsStore &operator=(const SettingsStore &) = delete;

    // The folder holding the file, private to the user: other files of the app that must not be
    // read or replaced by others belong here.
    QString folder() const;

    // Text values; an absent key or a value that is not text gives std::nullopt.
    std::optional<QString> text(const QString &key) const;
    // Byte values (the address book is stored as JSON bytes).
    std::optional<QByteArray> bytes(const QString &key) const;

    // Each write goes to the store at once. False when the store could not be written (a
    // read-only or full config folder): the value is still read back by this object, but is
    // lost when the program ends. A store that failed once keeps saying so.
    bool setText(const QString &key, const QString &value);
    bool setBytes(const QString &key, const QByteArray &value);
    bool sync();

private:
    std::unique_ptr<QSettings> m_settings;
};
