#include "HostIdentity.h"

#include "KivrenIds.h"
#include "SettingsStore.h"

#include <optional>

namespace {

QString freshPassword()
{
    return KivrenIds::pick(4) + QLatin1Char('-') + KivrenIds::pick(4);
}

// A stored value this program did not write in that form (edited by hand, cut short, another
// version's) is treated as missing: used as it is, it would be refused by the switchboard on
// every registration, with nothing in the window able to mend it.
std::optional<QString> storedText(const SettingsStore &settings, const QString &key, bool (*wellFormed)(const QString &))
{
    const std::optional<QString> text = settings.text(key);
    if (text && wellFormed(*text))
        return text;
    return std::nullopt;
}

} // namespace

HostIdentity::HostIdentity(SettingsStore &settings, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
{
    m_publicId = storedText(settings, idKey, KivrenIds::isCompactId).value_or(KivrenIds::nineDigit());
    m_password = storedText(settings, passwordKey, KivrenIds::isDisplayPassword).value_or(freshPassword());
    m_hostToken =
        storedText(settings, hostTokenKey, KivrenIds::isHostToken).value_or(KivrenIds::token(KivrenIds::hostTokenBytes));
    store(idKey, m_publicId);
    store(passwordKey, m_password);
    store(hostTokenKey, m_hostToken);
    m_encryptedOnly = settings.text(encryptedOnlyKey) == QStringLiteral("true");
}

void HostIdentity::setEncryptedOnly(bool only)
{
    if (m_encryptedOnly == only)
        return;
    m_encryptedOnly = only;
    emit encryptedOnlyChanged(only);
    store(encryptedOnlyKey, only ? QStringLiteral("true") : QStringLiteral("false"));
}

void HostIdentity::rotatePassword()
{
    m_password = freshPassword();
    emit passwordChanged(m_password);
    store(passwordKey, m_password);
}

bool HostIdentity::store(const QString &key, const QString &value)
{
    if (m_settings.setText(key, value))
        return true;
    if (m_saved) {
        m_saved = false;
        emit savedChanged(false);
    }
    return false;
}
