#pragma once

#include <QRect>

#include <vector>

// Which part of the X screen counts as the main display.
namespace X11MainDisplay {

// One RandR output as the server reports it; `crtc` is its rectangle in root coordinates,
// empty when the output drives no CRTC.
struct Output
{
    bool connected = false;
    bool primary = false;
    QRect crtc;
};

// The primary output when it is lit, else the first connected output with a CRTC, else the
// whole root window. The result is clipped to the root window and never empty while the root
// window is not.
QRect choose(const std::vector<Output> &outputs, const QRect &root);

} // namespace X11MainDisplay
