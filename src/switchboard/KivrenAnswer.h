#pragma once

#include "KivrenError.h"

#include <QJsonObject>

#include <optional>

// The outcome of one switchboard request: the answer object, or an error.
struct KivrenAnswer
{
    QJsonObject object;
    std::optional<KivrenError> error;

    bool ok() const { return !error.has_value(); }
    static KivrenAnswer success(QJsonObject object) { return {std::move(object), std::nullopt}; }
    static KivrenAnswer failure(KivrenError error) { return {{}, std::move(error)}; }
};
