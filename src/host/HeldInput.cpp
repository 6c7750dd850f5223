#include "HeldInput.h"

#include "DesktopBackend.h"
#include "MacInput.h"

using namespace SessionProtocol;

void HeldInput::applied(const ViewerMessage &message, const DisplayGeometry &geometry)
{
    m_touched = true;
    if (const auto *input = std::get_if<Input>(&message)) {
        const RemoteInput &event = input->event;
        m_x = event.x;
        m_y = event.y;
        m_geometry = geometry;
        // Button 1 is the right one; every other number presses the left one.
        bool &button = event.button == 1 ? m_right : m_left;
        if (event.kind == RemoteInput::Kind::down)
            button = true;
        else if (event.kind == RemoteInput::Kind::up)
            button = false;
    } else if (const auto *key = std::get_if<Key>(&message)) {
        if (const std::optional<NamedKey> named = namedKeyFromCodeName(key->codeName))
            m_keys.set(static_cast<std::size_t>(*named), key->down);
    }
}

void HeldInput::releaseAll(DesktopBackend &desktop)
{
    if (!m_touched)
        return;
    for (std::size_t key = 0; key < m_keys.size(); ++key) {
        if (m_keys.test(key))
            MacInput::applyKey(desktop, codeName(static_cast<NamedKey>(key)), QString(), false);
    }
    for (const bool right : {false, true}) {
        if (right ? m_right : m_left) {
            RemoteInput release;
            release.kind = RemoteInput::Kind::up;
            release.x = m_x;
            release.y = m_y;
            release.button = right ? 1 : 0;
            MacInput::apply(desktop, release, m_geometry);
        }
    }
    desktop.holdModifiers({});
    *this = HeldInput();
}
