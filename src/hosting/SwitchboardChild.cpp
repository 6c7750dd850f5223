#include "SwitchboardChild.h"

#include "ChildLifetime.h"

#include <QRegularExpression>

namespace {

// A line longer than this is not the listening line; the error output is only searched for why
// the child stopped, which its last lines say.
constexpr qsizetype maxLineBytes = 4096;
constexpr qsizetype errorTailBytes = 4096;
const QByteArray portTaken = QByteArrayLiteral("EADDRINUSE");

} // namespace

SwitchboardChild::SwitchboardChild(HostKey key, QObject *parent)
    : QProcess(parent)
    , m_key(std::move(key))
{
    connect(this, &QProcess::readyReadStandardOutput, this, &SwitchboardChild::readOutput);
    connect(this, &QProcess::readyReadStandardError, this, &SwitchboardChild::readErrors);
    connect(this, &QProcess::finished, this, &SwitchboardChild::onFinished);
}

// Ended here rather than by QProcess's destructor, which would kill it with a warning. Nobody
// hears of an end that only the teardown caused.
SwitchboardChild::~SwitchboardChild()
{
    disconnect();
    ChildLifetime::end(*this);
}

void SwitchboardChild::readOutput()
{
    const QByteArray output = readAllStandardOutput();
    // Once listening, the rest is drained and dropped, so the child never blocks on a full pipe.
    if (m_phase != Phase::starting)
        return;
    m_line += output;
    static const QRegularExpression listening(QStringLiteral("^listening on 127\\.0\\.0\\.1:([0-9]{1,5})$"));
    qsizetype end = 0;
    while ((end = m_line.indexOf('\n')) >= 0) {
        const QByteArray line = m_line.left(end);
        m_line.remove(0, end + 1);
        const QRegularExpressionMatch match = listening.match(QString::fromLatin1(line));
        const uint port = match.hasMatch() ? match.captured(1).toUInt() : 0;
        if (port > 0 && port <= 65535) {
            m_line.clear();
            m_port = static_cast<quint16>(port);
            setPhase(Phase::listening);
            return;
        }
    }
    if (m_line.size() > maxLineBytes)
        m_line.clear();
}

void SwitchboardChild::readErrors()
{
    m_errorTail += readAllStandardError();
    if (m_errorTail.size() > errorTailBytes)
        m_errorTail = m_errorTail.right(errorTailBytes);
}

void SwitchboardChild::onFinished()
{
    // Whatever it wrote last is read before its end is judged.
    readOutput();
    readErrors();
    if (m_phase == Phase::listening)
        setPhase(Phase::ended);
    else if (m_phase == Phase::starting)
        setPhase(m_errorTail.contains(portTaken) ? Phase::portInUse : Phase::failed);
}

void SwitchboardChild::setPhase(Phase phase)
{
    if (m_phase == phase)
        return;
    m_phase = phase;
    emit phaseChanged(m_phase);
}
