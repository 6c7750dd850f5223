#pragma once

#include "AutostartEntry.h"

#include <QObject>
#include <QString>
#include <QStringList>

class SettingsStore;

// The person's choices about when this app runs: from login (its autostart entry) and after its
// window is closed (a setting, off unless chosen: closing the window quits). Both are read once,
// when the object is made; each change is written at once. A change that cannot be written
// leaves the choice as it was and says why in `problem` (empty once a later change went through).
//
// Lives on the main thread; every change signal is emitted after the new value is stored.
class RunChoices : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool startsAtLogin READ startsAtLogin NOTIFY startsAtLoginChanged)
    Q_PROPERTY(bool keepsHostingWhenClosed READ keepsHostingWhenClosed NOTIFY keepsHostingWhenClosedChanged)
    Q_PROPERTY(QString problem READ problem NOTIFY problemChanged)

public:
    static inline const QString keepHostingKey = QStringLiteral("kivren.keepHostingWhenClosed");

    struct Options
    {
        // Required; must outlive the object.
        SettingsStore *settings = nullptr;
        AutostartEntry entry;
        // What the entry starts: this program, with the arguments of an unattended start.
        QString program;
        QStringList loginArguments;
    };

    explicit RunChoices(Options options, QObject *parent = nullptr);

    bool startsAtLogin() const { return m_startsAtLogin; }
    bool keepsHostingWhenClosed() const { return m_keepsHosting; }
    QString problem() const { return m_problem; }

    void setStartsAtLogin(bool on);
    void setKeepsHostingWhenClosed(bool on);

signals:
    void startsAtLoginChanged(bool on);
    void keepsHostingWhenClosedChanged(bool on);
    void problemChanged(const QString &problem);

private:
    void setProblem(const QString &problem);

    Options m_options;
    bool m_startsAtLogin = false;
    bool m_keepsHosting = false;
    QString m_problem;
};
