#include "SwitchboardProcess.h"

#include <QElapsedTimer>
#include <QProcessEnvironment>
#include <QRegularExpression>

SwitchboardProcess::SwitchboardProcess(const QByteArray &hostKey)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KIVREN_PORT"), QStringLiteral("0"));
    env.remove(QStringLiteral("KIVREN_HOST_KEY"));
    if (!hostKey.isEmpty())
        env.insert(QStringLiteral("KIVREN_HOST_KEY"), QString::fromLatin1(hostKey));
    m_process.setProcessEnvironment(env);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral(KIVREN_NODE), {QStringLiteral(KIVREN_SOURCE_DIR "/cloud/server.mjs")});
    if (!m_process.waitForStarted(5000))
        return;

    static const QRegularExpression listening(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
    QByteArray output;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 10000 && m_process.state() == QProcess::Running) {
        m_process.waitForReadyRead(200);
        output += m_process.readAllStandardOutput();
        const auto match = listening.match(QString::fromUtf8(output));
        if (match.hasMatch()) {
            m_port = static_cast<quint16>(match.captured(1).toUInt());
            break;
        }
    }
    // Keep draining so the child never blocks on a full pipe.
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_process,
                     [this] { m_process.readAllStandardOutput(); });
}

SwitchboardProcess::~SwitchboardProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QString SwitchboardProcess::origin() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
}
