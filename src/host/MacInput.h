#pragma once

#include <QPointF>
#include <QString>

class DesktopBackend;
struct DisplayGeometry;
struct RemoteInput;

// Synthetic pointer, wheel and key events on this machine.
namespace MacInput {

void apply(DesktopBackend &backend, const RemoteInput &input, const DisplayGeometry &geometry);
// A codeName that names a special key presses or releases it; otherwise a press types `key`.
void applyKey(DesktopBackend &backend, const QString &codeName, const QString &key, bool down);
void postWheel(DesktopBackend &backend, QPointF point, double deltaY);

// True between a left-button press and the next release; process-wide.
bool leftDown();
void setLeftDown(bool down);

} // namespace MacInput
