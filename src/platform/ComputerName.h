#pragma once

#include <QString>

#include <optional>

// The computer's user-visible name: the pretty host name when one is set
// (/etc/machine-info PRETTY_HOSTNAME), else the host name; none when both are empty.
namespace ComputerName {

std::optional<QString> current();

} // namespace ComputerName
