#pragma once

#include "KeyModifiers.h"
#include "NamedKey.h"

#include <QPointF>
#include <QString>

class DesktopInput;
struct DisplayGeometry;
struct RemoteInput;

// Synthetic pointer, wheel and key events on this machine.
namespace MacInput {

// The input's modifiers are held around its pointer action.
void apply(DesktopInput &backend, const RemoteInput &input, const DisplayGeometry &geometry);
// Presses or releases a special key; `modifiers` are held around a press (Alt+Tab: alt down,
// tab, alt up), a release needs none.
void applyKey(DesktopInput &backend, NamedKey key, bool down, KeyModifiers modifiers = {});
void postWheel(DesktopInput &backend, QPointF point, double deltaY);
// Types `text` from its start as far as the desktop can now, with `modifiers` held around it;
// returns how many UTF-16 units of it are done, whole characters (0: try again later).
qsizetype typeText(DesktopInput &backend, const QString &text, KeyModifiers modifiers = {});

// True between a left-button press and the next release; process-wide.
bool leftDown();
void setLeftDown(bool down);

} // namespace MacInput
