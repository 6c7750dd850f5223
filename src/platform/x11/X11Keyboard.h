#pragma once

#include "KeyModifiers.h"
#include "NamedKey.h"

#include <QString>

#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <vector>

class X11Connection;
// Xlib's own forward declaration of XEvent (this header stays free of Xlib).
union _XEvent;

// The keyboard of an X server driven through XTest: special keys, held modifiers and Unicode
// text, typed with the keys of the server's keymap or, for characters it lacks, through spare
// keycodes borrowed for the purpose. Does nothing when the server lacks XTest. Main thread only.
//
// Keysyms and keycodes are spelled as Xlib defines them (unsigned long, unsigned char).
class X11Keyboard
{
public:
    // A spare keycode keeps its character this long after its last press before it may be
    // given another (see mapSpare).
    static constexpr std::chrono::milliseconds spareKeycodeHold{400};

    explicit X11Keyboard(std::shared_ptr<X11Connection> connection);
    // Lets go of the modifiers it holds and gives the borrowed keycodes back.
    ~X11Keyboard();
    X11Keyboard(const X11Keyboard &) = delete;
    X11Keyboard &operator=(const X11Keyboard &) = delete;

    // Takes MappingNotify (ours and other clients'), which makes the cached keymap stale;
    // false for every other event.
    bool handle(_XEvent &event);

    void postKey(NamedKey key, bool down);
    // Types `text` from its start for as long as no character has to wait for a spare keycode;
    // returns how many UTF-16 units of it are done (0 when its first character must wait).
    qsizetype typeText(const QString &text);
    void holdModifiers(KeyModifiers modifiers);

private:
    struct KeyPosition
    {
        unsigned char keycode = 0;
        bool shifted = false;
    };

    struct SpareKeycode
    {
        unsigned char keycode = 0;
        unsigned long keysym = 0; // what it types at the moment; NoSymbol (0) when restored
        std::chrono::steady_clock::time_point lastUse{};
    };

    // What typing lifted for its duration, to be put back after it.
    struct Lifted
    {
        bool capsLock = false;
        std::vector<unsigned char> keys;
    };

    void refreshKeymap();
    unsigned long keysymAt(int keycode, int index) const;
    std::optional<KeyPosition> findKeysym(unsigned long keysym) const;
    // A spare keycode now typing `keysym`; 0 when there are none, or when `wait` is false and
    // every one is still holding a character a client may not have read yet.
    unsigned char mapSpare(unsigned long keysym, bool wait);
    bool rested(const SpareKeycode &spare) const;
    void pressed(unsigned char keycode);
    void setKeycodeMapping(unsigned char keycode, unsigned long keysym);
    void restoreSpares();
    void pressAndRelease(unsigned char keycode);
    unsigned char modifierKeycode(KeyModifier modifier) const;
    bool holds(unsigned char keycode) const;
    Lifted liftForeignModifiers();
    void restore(const Lifted &lifted);

    std::shared_ptr<X11Connection> m_connection;

    // Core keymap, fetched on first use and again after a MappingNotify.
    bool m_keymapStale = true;
    int m_minKeycode = 0;
    int m_maxKeycode = 0;
    int m_keysymsPerKeycode = 0;
    std::vector<unsigned long> m_keymap;
    unsigned char m_shiftKeycode = 0;
    bool m_sparesFound = false;
    std::vector<SpareKeycode> m_spares;
    // The keycode pressed for each modifier held through holdModifiers (0: not held).
    std::array<unsigned char, KeyModifiers::pressOrder.size()> m_heldModifiers{};
};
