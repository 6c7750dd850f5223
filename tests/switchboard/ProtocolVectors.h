#pragma once

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <string>

// The session messages and switchboard requests, byte for byte and with their meaning, that the
// switchboard's and the browser page's tests read as well (tests/protocol/vectors.json; its
// "about" says what each section holds).
namespace ProtocolVectors {

inline const QJsonObject &all()
{
    static const QJsonObject vectors = [] {
        QFile file(QStringLiteral(KIVREN_PROTOCOL_VECTORS));
        if (!file.open(QIODevice::ReadOnly))
            return QJsonObject();
        return QJsonDocument::fromJson(file.readAll()).object();
    }();
    return vectors;
}

inline QJsonArray section(const char *name)
{
    return all().value(QLatin1String(name)).toArray();
}

inline bool writtenBy(const QJsonObject &example, const char *writer)
{
    return example.value(QLatin1String("writers")).toArray().contains(QLatin1String(writer));
}

// An example's name as a test row's: letters and digits, the rest joined by underscores.
inline std::string rowName(const QJsonObject &example)
{
    std::string row;
    bool gap = false;
    for (const QChar c : example.value(QLatin1String("name")).toString()) {
        if (c.isLetterOrNumber() && c.unicode() < 128) {
            if (gap && !row.empty())
                row += '_';
            row += char(c.unicode());
            gap = false;
        } else {
            gap = true;
        }
    }
    return row;
}

} // namespace ProtocolVectors
