#pragma once

#include <QObject>
#include <QString>

class SettingsStore;

// This computer's identity as a host: its public ID, its password and the host token by which
// the switchboard knows it, read from the settings store (a value this program did not write in
// that form counts as missing) or made anew, and written back on every launch, so the identity
// survives even a store that only keeps what was written. A store that cannot be written leaves
// the identity in memory for this run, and saved() says so. Main thread.
class HostIdentity : public QObject
{
    Q_OBJECT

public:
    // Settings keys this object reads and writes.
    static inline const QString idKey = QStringLiteral("kivren.id");
    static inline const QString passwordKey = QStringLiteral("kivren.password");
    static inline const QString hostTokenKey = QStringLiteral("kivren.hostToken");
    // "Only encrypted viewers": "true" when on; anything else (missing included) is off.
    static inline const QString encryptedOnlyKey = QStringLiteral("kivren.encryptedOnly");

    // `settings` must outlive the identity.
    explicit HostIdentity(SettingsStore &settings, QObject *parent = nullptr);

    QString publicId() const { return m_publicId; }
    QString password() const { return m_password; }
    QString hostToken() const { return m_hostToken; }
    // Viewers that do not encrypt are refused; their password never reaches a switchboard.
    bool encryptedOnly() const { return m_encryptedOnly; }
    void setEncryptedOnly(bool only);
    // Every write so far was taken by the store.
    bool saved() const { return m_saved; }

    // A fresh password, stored.
    void rotatePassword();
    // Writes another value of this host's into the same store; false when it was refused.
    bool store(const QString &key, const QString &value);

signals:
    void passwordChanged(const QString &password);
    void encryptedOnlyChanged(bool encryptedOnly);
    void savedChanged(bool saved);

private:
    SettingsStore &m_settings;
    QString m_publicId;
    QString m_password;
    QString m_hostToken;
    bool m_encryptedOnly = false;
    bool m_saved = true;
};
