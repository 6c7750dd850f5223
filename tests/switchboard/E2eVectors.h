#pragma once

#include <QByteArray>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

// The encrypted session's vectors, the same file the page's tests read (cloud/test/e2e-vectors.json):
// the CPace draft's, and this program's key schedule, exchange and sealed frames, which the C++
// and the JavaScript side must both produce byte for byte. Bytes are hexadecimal there.
namespace E2eVectors {

inline const QJsonObject &all()
{
    static const QJsonObject vectors = [] {
        QFile file(QStringLiteral(KIVREN_E2E_VECTORS));
        if (!file.open(QIODevice::ReadOnly))
            return QJsonObject();
        return QJsonDocument::fromJson(file.readAll()).object();
    }();
    return vectors;
}

inline QJsonObject section(const char *name)
{
    return all().value(QLatin1String(name)).toObject();
}

inline QByteArray bytes(const QJsonValue &hex)
{
    return QByteArray::fromHex(hex.toString().toLatin1());
}

} // namespace E2eVectors
