#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

class QSettings;

// The per-user key/value store behind the "kivren.*" settings.
// The default instance is the user's own store; tests pass a file of their own.
class SettingsStore
{
public:
    // The user's default store (QSettings with the application's organisation and name).
    SettingsStore();
    // A store kept in the given INI file (created on first write).
    explicit SettingsStore(const QString &iniPath);
    ~SettingsStore();
    SettingsStore(const SettingsStore &) = delete;
    SettingsStore &operator=(const SettingsStore &) = delete;

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
