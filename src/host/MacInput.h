#pragma once

#include "KeyModifiers.h"

#include <QPointF>
#include <QString>

class DesktopBackend;
struct DisplayGeometry;
struct RemoteInput;

// Synthetic pointer, wheel and key events on this machine.
namespace MacInput {

// The input's modifiers are held around its pointer action.
void apply(DesktopBackend &backend, const RemoteInput &input, const DisplayGeometry &geometry);
// A codeName that names a special key presses or releases it; otherwise a press types `key`,
// all of it (waiting, within reason, while the desktop cannot type on). `modifiers` are held
// around a press (Ctrl+C: control down, "c", control up); a release needs none.
void applyKey(DesktopBackend &backend, const QString &codeName, const QString &key, bool down,
              KeyModifiers modifiers = {});
void postWheel(DesktopBackend &backend, QPointF point, double deltaY);
// Types `text` from its start as far as the desktop can now, with `modifiers` held around it;
// returns how many UTF-16 units of it are done, whole characters (0: try again later).
qsizetype typeText(DesktopBackend &backend, const QString &text, KeyModifiers modifiers = {});

// True between a left-button press and the next release; process-wide.
bool leftDown();
void setLeftDown(bool down);

} // namespace MacInput
