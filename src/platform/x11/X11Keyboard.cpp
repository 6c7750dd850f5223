#include "X11Keyboard.h"

#include "X11Connection.h"
#include "X11Keysyms.h"

#include <QList>

#include <algorithm>
#include <thread>
#include <utility>

// Xlib last: its macros clash with Qt headers.
#include "X11ErrorTrap.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace {

// Spare keycodes that characters missing from the keymap are typed through.
constexpr std::size_t maxSpareKeycodes = 64;

std::size_t indexOf(KeyModifier modifier)
{
    return static_cast<std::size_t>(modifier);
}

bool keyDown(const char (&keys)[32], unsigned char keycode)
{
    return (keys[keycode / 8] & (1 << (keycode % 8))) != 0;
}

} // namespace

X11Keyboard::X11Keyboard(std::shared_ptr<X11Connection> connection)
    : m_connection(std::move(connection))
{}

X11Keyboard::~X11Keyboard()
{
    holdModifiers({});
    restoreSpares();
}

bool X11Keyboard::handle(XEvent &event)
{
    if (event.type != MappingNotify)
        return false;
    XRefreshKeyboardMapping(&event.xmapping);
    m_keymapStale = true;
    return true;
}

// The X server repeats a held key by itself, which injected key-downs elsewhere do not do: a
// press whose release is late would type it again and again, and one whose release never
// comes (a key message without "down" is a press) would repeat until someone touches that
// key, a Backspace erasing a whole document. So a press is sent as a complete keystroke and
// the release that follows has nothing left to do. The special keys are no modifiers; nothing
// is lost by not holding them.
void X11Keyboard::postKey(NamedKey key, bool down)
{
    if (!m_connection->hasXTest() || !down)
        return;
    const std::optional<unsigned long> keysym = X11Keysyms::ofNamedKey(key);
    if (!keysym)
        return;
    refreshKeymap();
    const std::optional<KeyPosition> position = findKeysym(*keysym);
    KeyCode keycode = position && !position->shifted ? position->keycode : 0;
    if (!keycode)
        keycode = mapSpare(*keysym, true);
    if (!keycode)
        return;
    pressed(keycode);
    pressAndRelease(keycode);
    XFlush(m_connection->display());
}

// Each character is typed with the key that produces it in the current keymap (with Shift
// for its second level), or else through a spare keycode mapped to it for the purpose. Caps
// Lock and modifiers held by someone else are lifted for the while, so that the characters
// come out as asked; the modifiers held through holdModifiers stay (a shortcut's key).
qsizetype X11Keyboard::typeText(const QString &text)
{
    if (!m_connection->hasXTest() || text.isEmpty())
        return text.size();
    Display *display = m_connection->display();
    refreshKeymap();
    const Lifted lifted = liftForeignModifiers();
    const bool shiftHeld = m_heldModifiers[indexOf(KeyModifier::Shift)] != 0;

    qsizetype done = 0;
    char32_t previous = 0;
    while (done < text.size()) {
        const bool pair = text.at(done).isHighSurrogate() && done + 1 < text.size() && text.at(done + 1).isLowSurrogate();
        const char32_t codePoint = pair ? QChar::surrogateToUcs4(text.at(done), text.at(done + 1)) : text.at(done).unicode();
        const qsizetype next = done + (pair ? 2 : 1);
        // A Windows line end is one Return, not two.
        const bool lineEndHalf = codePoint == U'\n' && previous == U'\r';
        previous = codePoint;
        const std::optional<unsigned long> keysym = lineEndHalf ? std::nullopt : X11Keysyms::ofCodePoint(codePoint);
        if (!keysym) {
            done = next;
            continue;
        }
        std::optional<KeyPosition> position = findKeysym(*keysym);
        if (!position) {
            if (m_spares.empty()) {
                done = next;
                continue;
            }
            // Never waits: a character whose keycode is still busy waits for the next call.
            const KeyCode spare = mapSpare(*keysym, false);
            if (!spare)
                break;
            position = KeyPosition{spare, false};
        }
        pressed(position->keycode);
        const bool addShift = position->shifted && !shiftHeld;
        if (addShift)
            XTestFakeKeyEvent(display, m_shiftKeycode, True, CurrentTime);
        pressAndRelease(position->keycode);
        if (addShift)
            XTestFakeKeyEvent(display, m_shiftKeycode, False, CurrentTime);
        done = next;
    }
    restore(lifted);
    XFlush(display);
    return done;
}

void X11Keyboard::holdModifiers(KeyModifiers modifiers)
{
    if (!m_connection->hasXTest())
        return;
    Display *display = m_connection->display();
    bool changed = false;
    for (auto modifier = KeyModifiers::pressOrder.rbegin(); modifier != KeyModifiers::pressOrder.rend(); ++modifier) {
        unsigned char &held = m_heldModifiers[indexOf(*modifier)];
        if (held && !modifiers.contains(*modifier)) {
            XTestFakeKeyEvent(display, held, False, CurrentTime);
            held = 0;
            changed = true;
        }
    }
    if (!modifiers.isEmpty())
        refreshKeymap();
    for (const KeyModifier modifier : KeyModifiers::pressOrder) {
        unsigned char &held = m_heldModifiers[indexOf(modifier)];
        if (held || !modifiers.contains(modifier))
            continue;
        held = modifierKeycode(modifier);
        if (held) {
            XTestFakeKeyEvent(display, held, True, CurrentTime);
            changed = true;
        }
    }
    if (changed)
        XFlush(display);
}

// Meta is the Super (Windows) key here, as the viewer's toolkit names it on this system.
unsigned char X11Keyboard::modifierKeycode(KeyModifier modifier) const
{
    std::array<unsigned long, 2> keysyms{};
    switch (modifier) {
    case KeyModifier::Shift:
        keysyms = {XK_Shift_L, XK_Shift_R};
        break;
    case KeyModifier::Control:
        keysyms = {XK_Control_L, XK_Control_R};
        break;
    case KeyModifier::Alt:
        keysyms = {XK_Alt_L, XK_Alt_R};
        break;
    case KeyModifier::Meta:
        keysyms = {XK_Super_L, XK_Super_R};
        break;
    }
    for (const unsigned long keysym : keysyms) {
        if (const std::optional<KeyPosition> position = findKeysym(keysym); position && !position->shifted)
            return position->keycode;
    }
    return 0;
}

bool X11Keyboard::holds(unsigned char keycode) const
{
    return std::find(m_heldModifiers.cbegin(), m_heldModifiers.cend(), keycode) != m_heldModifiers.cend();
}

// Caps Lock is unlocked, and modifier keys that someone else holds down (a local user, another
// program) are let up. XTest can only let up what its own device pressed: a modifier held on a
// real keyboard stays down, and then is not pressed again afterwards either.
X11Keyboard::Lifted X11Keyboard::liftForeignModifiers()
{
    Display *display = m_connection->display();
    Lifted lifted;
    XkbStateRec state;
    if (XkbGetState(display, XkbUseCoreKbd, &state) == Success && (state.locked_mods & LockMask)) {
        XkbLockModifiers(display, XkbUseCoreKbd, LockMask, 0);
        lifted.capsLock = true;
    }

    char keys[32];
    XQueryKeymap(display, keys);
    XModifierKeymap *map = XGetModifierMapping(display);
    if (!map)
        return lifted;
    for (int modifier = 0; modifier < 8; ++modifier) {
        if (modifier == LockMapIndex)
            continue;
        for (int slot = 0; slot < map->max_keypermod; ++slot) {
            const KeyCode keycode = map->modifiermap[modifier * map->max_keypermod + slot];
            if (keycode && keyDown(keys, keycode) && !holds(keycode)
                && std::find(lifted.keys.cbegin(), lifted.keys.cend(), keycode) == lifted.keys.cend()) {
                XTestFakeKeyEvent(display, keycode, False, CurrentTime);
                lifted.keys.push_back(keycode);
            }
        }
    }
    XFreeModifiermap(map);
    if (!lifted.keys.empty()) {
        // Only what really went up is pressed again afterwards.
        XSync(display, False);
        XQueryKeymap(display, keys);
        std::erase_if(lifted.keys, [&keys](unsigned char keycode) { return keyDown(keys, keycode); });
    }
    return lifted;
}

void X11Keyboard::restore(const Lifted &lifted)
{
    Display *display = m_connection->display();
    for (const unsigned char keycode : lifted.keys)
        XTestFakeKeyEvent(display, keycode, True, CurrentTime);
    if (lifted.capsLock)
        XkbLockModifiers(display, XkbUseCoreKbd, LockMask, LockMask);
}

void X11Keyboard::refreshKeymap()
{
    if (!m_keymapStale)
        return;
    m_keymapStale = false;
    m_keymap.clear();
    m_keysymsPerKeycode = 0;
    Display *display = m_connection->display();
    XDisplayKeycodes(display, &m_minKeycode, &m_maxKeycode);
    const int count = m_maxKeycode - m_minKeycode + 1;
    if (count <= 0)
        return;
    int perKeycode = 0;
    KeySym *symbols = XGetKeyboardMapping(display, static_cast<KeyCode>(m_minKeycode), count, &perKeycode);
    if (!symbols)
        return;
    m_keymap.assign(symbols, symbols + static_cast<std::size_t>(count) * perKeycode);
    m_keysymsPerKeycode = perKeycode;
    XFree(symbols);
    // From the keymap just read rather than Xlib's own copy, which may lag behind.
    m_shiftKeycode = 0;
    for (const KeySym shift : {KeySym(XK_Shift_L), KeySym(XK_Shift_R)}) {
        if (const std::optional<KeyPosition> position = findKeysym(shift); position && !m_shiftKeycode)
            m_shiftKeycode = position->keycode;
    }

    if (!m_sparesFound) {
        // Keycodes that type nothing in the keymap as it was when we started.
        m_sparesFound = true;
        for (int keycode = m_maxKeycode; keycode >= m_minKeycode && m_spares.size() < maxSpareKeycodes; --keycode) {
            bool empty = true;
            for (int index = 0; index < m_keysymsPerKeycode && empty; ++index)
                empty = keysymAt(keycode, index) == NoSymbol;
            if (empty)
                m_spares.push_back(SpareKeycode{static_cast<KeyCode>(keycode), NoSymbol, {}});
        }
    }
}

unsigned long X11Keyboard::keysymAt(int keycode, int index) const
{
    if (keycode < m_minKeycode || keycode > m_maxKeycode || index >= m_keysymsPerKeycode)
        return NoSymbol;
    return m_keymap[static_cast<std::size_t>(keycode - m_minKeycode) * m_keysymsPerKeycode + index];
}

// Only the first group's two levels are used: plain and with Shift. A second level given as
// NoSymbol means the case pair of the first, as Xlib reads it.
std::optional<X11Keyboard::KeyPosition> X11Keyboard::findKeysym(unsigned long keysym) const
{
    std::optional<KeyPosition> shiftedMatch;
    for (int keycode = m_minKeycode; keycode <= m_maxKeycode; ++keycode) {
        KeySym plain = keysymAt(keycode, 0);
        KeySym shifted = keysymAt(keycode, 1);
        if (plain == NoSymbol)
            continue;
        if (shifted == NoSymbol) {
            KeySym lower = NoSymbol;
            KeySym upper = NoSymbol;
            XConvertCase(plain, &lower, &upper);
            plain = lower;
            shifted = upper;
        }
        if (plain == keysym)
            return KeyPosition{static_cast<KeyCode>(keycode), false};
        if (shifted == keysym && !shiftedMatch && m_shiftKeycode)
            shiftedMatch = KeyPosition{static_cast<KeyCode>(keycode), true};
    }
    return shiftedMatch;
}

void X11Keyboard::setKeycodeMapping(unsigned char keycode, unsigned long keysym)
{
    // The same symbol on both levels: a lone letter would otherwise type its lower case.
    KeySym symbols[2] = {keysym, keysym};
    Display *display = m_connection->display();
    X11ErrorTrap trap;
    XChangeKeyboardMapping(display, keycode, 2, symbols, 1);
    XSync(display, False);
}

// A receiving client looks the keysym up only when it handles the key event, possibly well
// after we sent it and changed the keymap again (a toolkit reloads its whole keymap on every
// change, and falls behind when the changes come fast). So a spare keycode keeps its
// character until it is needed for another one (least recently pressed first) or the keyboard
// closes, rather than being restored at once; and it is given a new character only after it
// has rested for spareKeycodeHold, which lets clients read the previous one (a Qt client on a
// busy machine read 504 of 600 such characters wrong with 50 ms, none with 400 ms). No client
// can tell us it has read a key: the answer to a _NET_WM_PING reaches the window manager only.
// Keymaps have a few dozen unused keycodes at most (Xvfb's has 19), so a long text in a script
// the keymap lacks reuses them, at most that many characters per rest; typing stops there
// rather than waiting, and goes on at the next call.
unsigned char X11Keyboard::mapSpare(unsigned long keysym, bool wait)
{
    if (m_spares.empty())
        return 0;
    auto oldest = std::min_element(m_spares.begin(), m_spares.end(),
                                   [](const SpareKeycode &a, const SpareKeycode &b) { return a.lastUse < b.lastUse; });
    // Skip keycodes someone else has mapped since we looked.
    for (int index = 0; index < m_keysymsPerKeycode; ++index) {
        const KeySym current = keysymAt(oldest->keycode, index);
        if (current != NoSymbol && current != oldest->keysym) {
            m_spares.erase(oldest);
            return mapSpare(keysym, wait);
        }
    }
    if (!rested(*oldest)) {
        if (!wait)
            return 0;
        XSync(m_connection->display(), False);
        std::this_thread::sleep_until(oldest->lastUse + spareKeycodeHold);
    }
    setKeycodeMapping(oldest->keycode, keysym);
    oldest->keysym = keysym;
    oldest->lastUse = std::chrono::steady_clock::now();
    const std::size_t offset = static_cast<std::size_t>(oldest->keycode - m_minKeycode) * m_keysymsPerKeycode;
    for (int index = 0; index < m_keysymsPerKeycode; ++index)
        m_keymap[offset + index] = index < 2 ? keysym : NoSymbol;
    return oldest->keycode;
}

bool X11Keyboard::rested(const SpareKeycode &spare) const
{
    return spare.keysym == NoSymbol || std::chrono::steady_clock::now() - spare.lastUse >= spareKeycodeHold;
}

void X11Keyboard::pressed(unsigned char keycode)
{
    for (SpareKeycode &spare : m_spares) {
        if (spare.keycode == keycode)
            spare.lastUse = std::chrono::steady_clock::now();
    }
}

void X11Keyboard::restoreSpares()
{
    bool changed = false;
    for (SpareKeycode &spare : m_spares) {
        if (spare.keysym == NoSymbol)
            continue;
        setKeycodeMapping(spare.keycode, NoSymbol);
        spare.keysym = NoSymbol;
        changed = true;
    }
    if (changed)
        XSync(m_connection->display(), False);
}

void X11Keyboard::pressAndRelease(unsigned char keycode)
{
    // X keeps a key held until its release arrives, so every press gets one.
    Display *display = m_connection->display();
    XTestFakeKeyEvent(display, keycode, True, CurrentTime);
    XTestFakeKeyEvent(display, keycode, False, CurrentTime);
}
