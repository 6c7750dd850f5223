#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>

// The real switchboard (node cloud/server.mjs) on a free loopback port, for one test fixture.
// The service prints "listening on 127.0.0.1:<port>" once it serves; KIVREN_PORT=0 lets the
// kernel pick the port. `hostKey` (64 hex digits) is the key of the local host it recognises,
// as the app hands one to its own child; empty: none.
class SwitchboardProcess
{
public:
    explicit SwitchboardProcess(const QByteArray &hostKey = {});
    ~SwitchboardProcess();
    SwitchboardProcess(const SwitchboardProcess &) = delete;
    SwitchboardProcess &operator=(const SwitchboardProcess &) = delete;

    bool running() const { return m_port != 0; }
    quint16 port() const { return m_port; }
    // "http://127.0.0.1:<port>"
    QString origin() const;
    // The node process (a benchmark reads its CPU time).
    qint64 processId() const { return m_process.processId(); }

private:
    QProcess m_process;
    quint16 m_port = 0;
};
