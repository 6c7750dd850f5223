#include "X11DisplayLayout.h"

#include "X11Connection.h"
#include "X11MainDisplay.h"

#include <utility>
#include <vector>

// Xlib last: its macros clash with Qt headers.
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

X11DisplayLayout::X11DisplayLayout(std::shared_ptr<X11Connection> connection)
    : m_connection(std::move(connection))
{
    Display *display = m_connection->display();
    int errorBase = 0;
    int major = 0;
    int minor = 0;
    // Outputs and the primary one need RandR 1.3.
    if (XRRQueryExtension(display, &m_randrEventBase, &errorBase) && XRRQueryVersion(display, &major, &minor)
        && (major > 1 || (major == 1 && minor >= 3))) {
        m_randr = true;
        XRRSelectInput(display, m_connection->root(),
                       RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
    }
}

QRect X11DisplayLayout::mainDisplay()
{
    if (!m_mainDisplay)
        m_mainDisplay = query();
    return *m_mainDisplay;
}

void X11DisplayLayout::forget()
{
    m_mainDisplay.reset();
}

bool X11DisplayLayout::handle(XEvent &event)
{
    if (!m_randr || event.type < m_randrEventBase || event.type > m_randrEventBase + RRNotify)
        return false;
    XRRUpdateConfiguration(&event);
    m_mainDisplay.reset();
    return true;
}

QRect X11DisplayLayout::query() const
{
    Display *display = m_connection->display();
    const Window root = m_connection->root();
    Window rootReturn = 0;
    int x = 0;
    int y = 0;
    unsigned int width = 0;
    unsigned int height = 0;
    unsigned int border = 0;
    unsigned int depth = 0;
    if (!XGetGeometry(display, root, &rootReturn, &x, &y, &width, &height, &border, &depth))
        return {};
    const QRect rootRect(0, 0, static_cast<int>(width), static_cast<int>(height));

    std::vector<X11MainDisplay::Output> outputs;
    if (m_randr) {
        if (XRRScreenResources *resources = XRRGetScreenResourcesCurrent(display, root)) {
            const RROutput primary = XRRGetOutputPrimary(display, root);
            for (int i = 0; i < resources->noutput; ++i) {
                XRROutputInfo *info = XRRGetOutputInfo(display, resources, resources->outputs[i]);
                if (!info)
                    continue;
                X11MainDisplay::Output output;
                output.connected = info->connection == RR_Connected;
                output.primary = resources->outputs[i] == primary;
                if (info->crtc) {
                    if (XRRCrtcInfo *crtc = XRRGetCrtcInfo(display, resources, info->crtc)) {
                        output.crtc = QRect(crtc->x, crtc->y, static_cast<int>(crtc->width),
                                            static_cast<int>(crtc->height));
                        XRRFreeCrtcInfo(crtc);
                    }
                }
                XRRFreeOutputInfo(info);
                outputs.push_back(output);
            }
            XRRFreeScreenResources(resources);
        }
    }
    return X11MainDisplay::choose(outputs, rootRect);
}
