#pragma once

#include "HostKey.h"

#include <QByteArray>
#include <QProcess>

// The node process serving this machine's switchboard, and what its output says about it: it is
// starting until it prints "listening on 127.0.0.1:<port>", and once it has exited it either
// found its port taken (EADDRINUSE), failed some other way before listening, or ended after
// serving. Holds the key it was started with. Ends the process whenever it is destroyed, without
// logging anything. Main thread only.
class SwitchboardChild : public QProcess
{
    Q_OBJECT

public:
    enum class Phase { starting, listening, portInUse, failed, ended };
    Q_ENUM(Phase)

    SwitchboardChild(HostKey key, QObject *parent = nullptr);
    ~SwitchboardChild() override;

    Phase phase() const { return m_phase; }
    // The port it said it listens on; 0 until then.
    quint16 listeningPort() const { return m_port; }
    const HostKey &hostKey() const { return m_key; }

signals:
    void phaseChanged(SwitchboardChild::Phase phase);

private:
    void readOutput();
    void readErrors();
    void onFinished();
    void setPhase(Phase phase);

    HostKey m_key;
    Phase m_phase = Phase::starting;
    quint16 m_port = 0;
    QByteArray m_line;      // output since the last line break, until the listening line
    QByteArray m_errorTail; // the last few kilobytes of its error output
};
