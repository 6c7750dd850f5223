#pragma once

#include <QString>

// How a status line reads at a glance: all is well, something is missing or on its way, or
// something is wrong that the user must act on. The home screen colours its status dot by it.
enum class StatusTone { ok, warning, error };

QString rawText(StatusTone tone);
