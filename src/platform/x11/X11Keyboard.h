#pragma once

#include "SpecialKey.h"

#include <QString>

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

class X11Connection;
// Xlib's own forward declaration of XEvent (this header stays free of Xlib).
union _XEvent;

// The keyboard of an X server driven through XTest: special keys and Unicode text, typed with
// the keys of the server's keymap or, for characters it lacks, through spare keycodes borrowed
// for the purpose. Does nothing when the server lacks XTest. Main thread only.
//
// Keysyms and keycodes are spelled as Xlib defines them (unsigned long, unsigned char).
class X11Keyboard
{
public:
    explicit X11Keyboard(std::shared_ptr<X11Connection> connection);
    // Gives the borrowed keycodes back.
    ~X11Keyboard();
    X11Keyboard(const X11Keyboard &) = delete;
    X11Keyboard &operator=(const X11Keyboard &) = delete;

    // Takes MappingNotify (ours and other clients'), which makes the cached keymap stale;
    // false for every other event.
    bool handle(_XEvent &event);

    void postKey(SpecialKey key, bool down);
    void typeText(const QString &text);

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

    void refreshKeymap();
    unsigned long keysymAt(int keycode, int index) const;
    std::optional<KeyPosition> findKeysym(unsigned long keysym) const;
    unsigned char mapSpare(unsigned long keysym);
    void pressed(unsigned char keycode);
    void setKeycodeMapping(unsigned char keycode, unsigned long keysym);
    void restoreSpares();
    void pressAndRelease(unsigned char keycode);

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
};
