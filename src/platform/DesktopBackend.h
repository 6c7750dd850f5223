#pragma once

#include "DesktopCapture.h"
#include "DesktopInput.h"
#include "DesktopSharing.h"

// One desktop as the host uses it: its main display's pictures, input on it, and whether it lets
// this program share its screen. The X11 and the Wayland backend are one each; the host hands
// each part only what it needs (the session's pictures the capture, the input queue the input,
// the admission of viewers the sharing state).
class DesktopBackend : public DesktopCapture, public DesktopInput, public DesktopSharing
{
};
