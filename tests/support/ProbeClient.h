#pragma once

#include <QHash>
#include <QPoint>
#include <QProcess>
#include <QRect>
#include <QString>

// Runs the probe window (ProbeWindow.cpp), a real Qt client, on a display and reads what it
// reports: where its field, words and list sit, the field's text, the words' selection and the
// list's scroll position. The process ends with the object.
class ProbeClient
{
public:
    // `environment` names the display (DISPLAY); the probe runs on X (xcb) whatever it says.
    ProbeClient(QProcessEnvironment environment, QString stateFile);
    ~ProbeClient();
    ProbeClient(const ProbeClient &) = delete;
    ProbeClient &operator=(const ProbeClient &) = delete;

    // True once the window is up and has reported where everything sits.
    bool waitReady(int timeoutMs = 20000);

    // In screen coordinates of the probe's display; empty when not known.
    QRect rect(const QString &name) const;
    QPoint word(const QString &word) const;
    QString text() const;
    QString selected() const;
    int scroll() const;
    // The probe's process (tests stop and continue it to stand for a client that falls behind).
    qint64 processId() const { return m_process.processId(); }

private:
    QHash<QString, QString> read() const;

    QProcess m_process;
    QString m_stateFile;
};
