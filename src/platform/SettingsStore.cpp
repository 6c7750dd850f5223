#include "SettingsStore.h"

#include <QSettings>

SettingsStore::SettingsStore()
    : m_settings(std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                             QStringLiteral("KivrenRemote"), QStringLiteral("KivrenRemote")))
{
}

SettingsStore::SettingsStore(const QString &iniPath)
    : m_settings(std::make_unique<QSettings>(iniPath, QSettings::IniFormat))
{
}

SettingsStore::~SettingsStore() = default;

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
