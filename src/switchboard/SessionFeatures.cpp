#include "SessionFeatures.h"

#include <algorithm>

SessionFeatures::SessionFeatures(std::initializer_list<QString> names)
    : SessionFeatures(QStringList(names))
{
}

SessionFeatures::SessionFeatures(QStringList names)
    : m_names(std::move(names))
{
    // Sorted, so that the same set always writes the same bytes.
    std::sort(m_names.begin(), m_names.end());
    m_names.erase(std::unique(m_names.begin(), m_names.end()), m_names.end());
}

bool SessionFeatures::contains(QStringView name) const
{
    return std::binary_search(m_names.cbegin(), m_names.cend(), name,
                              [](QStringView a, QStringView b) { return a < b; });
}

QJsonArray SessionFeatures::toJson() const
{
    return QJsonArray::fromStringList(m_names);
}

SessionFeatures SessionFeatures::fromJson(const QJsonValue &value)
{
    QStringList names;
    for (const QJsonValue &element : value.toArray()) {
        if (element.isString())
            names.append(element.toString());
    }
    return SessionFeatures(std::move(names));
}
