#pragma once

#include <QPointF>
#include <QString>

#include <cstdint>
#include <optional>

class DesktopBackend;
struct DisplayGeometry;
struct RemoteInput;

// Synthetic pointer, wheel and key events on this machine.
namespace MacInput {

void apply(DesktopBackend &backend, const RemoteInput &input, const DisplayGeometry &geometry);
void applyKey(DesktopBackend &backend, const QString &codeName, const QString &key, bool down);
// The ten special key names (compared lower-cased) -> macOS virtual key code.
std::optional<std::uint16_t> virtualKey(const QString &codeName);
void postWheel(DesktopBackend &backend, QPointF point, double deltaY);

// True between a left-button press and the next release; process-wide.
bool leftDown();
void setLeftDown(bool down);

} // namespace MacInput
