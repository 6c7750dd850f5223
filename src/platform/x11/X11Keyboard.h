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
    // given another, when the client receiving the keys cannot tell us it has read them (see
    // mapSpare).
    static constexpr std::chrono::milliseconds spareKeycodeHold{400};
    // The longest a spare keycode waits for the receiving client's answer before it is given
    // another character all the same (a client that hangs or went away).
    static constexpr std::chrono::milliseconds spareAnswerLimit{5000};

    explicit X11Keyboard(std::shared_ptr<X11Connection> connection);
    // Lets go of the modifiers it holds and gives the borrowed keycodes back.
    ~X11Keyboard();
    X11Keyboard(const X11Keyboard &) = delete;
    X11Keyboard &operator=(const X11Keyboard &) = delete;

    // Takes MappingNotify (ours and other clients'), which makes the cached keymap stale, and
    // the answers to the pings that follow typing through spare keycodes; false for every other
    // event.
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
        // Pressed since the last ping went out.
        bool unconfirmed = false;
        // The ping sent after its last press, whose answer means the receiving client has read
        // the press; none: no client could be asked, and the press counts as read after
        // spareKeycodeHold.
        std::optional<unsigned long> ping;
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
    // Pings the client that receives the keys, once spare keycodes were pressed since the last
    // ping: its answer comes after it has handled those presses.
    void pingReceivingClient();
    unsigned long receivingClient() const;
    bool answersPing(unsigned long window) const;
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
    // Pings are numbered from 1; the highest whose answer came back.
    unsigned long m_pingsSent = 0;
    unsigned long m_pingsAnswered = 0;
    unsigned long m_protocolsAtom = 0;
    unsigned long m_pingAtom = 0;
    // The keycode pressed for each modifier held through holdModifiers (0: not held).
    std::array<unsigned char, KeyModifiers::pressOrder.size()> m_heldModifiers{};
};
