#pragma once

#include "Base64.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>

// A poll answer as the switchboard gives the host its viewer's messages: each a json frame.
inline QByteArray answerWith(const QList<QJsonObject> &messages)
{
    QJsonArray frames;
    for (const QJsonObject &message : messages) {
        const QByteArray payload = Base64::encode(QJsonDocument(message).toJson(QJsonDocument::Compact));
        frames.append(QJsonObject{{"kind", "json"}, {"payload", QString::fromLatin1(payload)}});
    }
    return QJsonDocument(QJsonObject{{"frames", frames}}).toJson(QJsonDocument::Compact);
}
