#pragma once

#include <QJsonArray>
#include <QJsonValue>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <initializer_list>

// The protocol additions one side of a session can use, by name. The host names its own in its
// hello ("features"), the viewer in a caps message; each side uses an addition only when the
// other side named it, so a peer that predates the addition never meets it.
class SessionFeatures
{
public:
    SessionFeatures() = default;
    SessionFeatures(std::initializer_list<QString> names);

    bool isEmpty() const { return m_names.isEmpty(); }
    bool contains(QStringView name) const;
    // Sorted, each name once.
    QStringList names() const { return m_names; }

    QJsonArray toJson() const;
    // The text elements of a JSON array; any other value names nothing.
    static SessionFeatures fromJson(const QJsonValue &value);

    friend bool operator==(const SessionFeatures &, const SessionFeatures &) = default;

private:
    explicit SessionFeatures(QStringList names);

    QStringList m_names;
};
