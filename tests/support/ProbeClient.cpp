#include "ProbeClient.h"

#include "WaitUntil.h"

#include <QFile>
#include <QStringList>

ProbeClient::ProbeClient(QProcessEnvironment environment, QString stateFile)
    : m_stateFile(std::move(stateFile))
{
    QFile::remove(m_stateFile);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    m_process.setProcessEnvironment(environment);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_process.start(QStringLiteral(KIVREN_PROBE_WINDOW), {m_stateFile});
}

ProbeClient::~ProbeClient()
{
    m_process.kill();
    m_process.waitForFinished(5000);
}

bool ProbeClient::waitReady(int timeoutMs)
{
    return waitUntil([&] { return !rect(QStringLiteral("field")).isEmpty(); }, timeoutMs);
}

// "<key> <rest of the line>" per line; the last of each key counts.
QHash<QString, QString> ProbeClient::read() const
{
    QHash<QString, QString> values;
    QFile file(m_stateFile);
    if (!file.open(QIODevice::ReadOnly))
        return values;
    for (const QString &line : QString::fromUtf8(file.readAll()).split(u'\n')) {
        const qsizetype space = line.indexOf(u' ');
        if (space <= 0)
            continue;
        QString key = line.left(space);
        QString rest = line.mid(space + 1);
        if (key == QLatin1String("word")) {
            key += u' ' + rest.section(u' ', 0, 0);
            rest = rest.section(u' ', 1);
        }
        values.insert(key, rest);
    }
    return values;
}

QRect ProbeClient::rect(const QString &name) const
{
    const QStringList f = read().value(name).split(u' ');
    if (f.size() != 4)
        return {};
    return QRect(f[0].toInt(), f[1].toInt(), f[2].toInt(), f[3].toInt());
}

QPoint ProbeClient::word(const QString &word) const
{
    const QStringList f = read().value(QStringLiteral("word ") + word).split(u' ');
    return f.size() == 2 ? QPoint(f[0].toInt(), f[1].toInt()) : QPoint();
}

QString ProbeClient::text() const
{
    return read().value(QStringLiteral("text"));
}

QString ProbeClient::selected() const
{
    return read().value(QStringLiteral("selected"));
}

int ProbeClient::scroll() const
{
    return read().value(QStringLiteral("scroll")).toInt();
}
