#include "X11MainDisplay.h"

namespace X11MainDisplay {

QRect choose(const std::vector<Output> &outputs, const QRect &root)
{
    const auto lit = [&](const Output &output) {
        return output.connected && !output.crtc.isEmpty() && !(output.crtc & root).isEmpty();
    };
    for (const Output &output : outputs) {
        if (output.primary && lit(output))
            return output.crtc & root;
    }
    for (const Output &output : outputs) {
        if (lit(output))
            return output.crtc & root;
    }
    return root;
}

} // namespace X11MainDisplay
