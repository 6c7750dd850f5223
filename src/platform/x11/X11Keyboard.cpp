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
{
    if (!m_connection->hasXTest())
        return;
    Display *display = m_connection->display();
    m_protocolsAtom = XInternAtom(display, "WM_PROTOCOLS", False);
    m_pingAtom = XInternAtom(display, "_NET_WM_PING", False);
    // A client answers a ping by sending it to the root window, for whoever selects structure
    // changes there: of its children, as the desktop conventions say (GTK), or of the root
    // itself (Qt). This private connection selects nothing else on the root.
    XSelectInput(display, m_connection->root(), StructureNotifyMask | SubstructureNotifyMask);
}

X11Keyboard::~X11Keyboard()
{
    holdModifiers({});
    restoreSpares();
}

bool X11Keyboard::handle(XEvent &event)
{
    if (event.type == ClientMessage) {
        const XClientMessageEvent &message = event.xclient;
        if (message.message_type != m_protocolsAtom || message.format != 32
            || static_cast<unsigned long>(message.data.l[0]) != m_pingAtom
            || message.window != m_connection->root())
            return false;
        const auto ping = static_cast<unsigned long>(message.data.l[1]);
        if (ping <= m_pingsSent)
            m_pingsAnswered = std::max(m_pingsAnswered, ping);
        return true;
    }
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
    pingReceivingClient();
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
    pingReceivingClient();
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

// A receiving client looks the keysym up only when it handles the key event, in the keymap it
// holds then: at a keymap change it fetches the whole keymap as the server has it at that
// moment, which may already be a later change than the one announced before the key event
// (a client on a busy machine falls behind while changes come fast). A key event read against a
// later mapping types the later character. So a spare keycode keeps its character until the
// receiving client has handled the presses of it: after typing, that client is pinged
// (_NET_WM_PING, which toolkits answer in order with their other events), and a spare keycode is
// given another character only once the answer to a ping sent after its last press has come
// back, or after spareAnswerLimit. For a client that does not answer pings it rests for
// spareKeycodeHold instead, which only makes a misread unlikely (a Qt client read 504 of 600
// such characters wrong with 50 ms, none with 400 ms on a quiet machine, some again under heavy
// load). Of the spare keycodes
// free, the least recently pressed is taken. Keymaps have a few dozen unused keycodes at most
// (Xvfb's has 19), so a long text in a script the keymap lacks reuses them, at most that many
// characters per answer; typing stops there rather than waiting, and goes on at the next call.
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
    if (spare.keysym == NoSymbol)
        return true;
    if (spare.unconfirmed)
        return false;
    const auto since = std::chrono::steady_clock::now() - spare.lastUse;
    if (!spare.ping)
        return since >= spareKeycodeHold;
    return *spare.ping <= m_pingsAnswered || since >= spareAnswerLimit;
}

void X11Keyboard::pressed(unsigned char keycode)
{
    for (SpareKeycode &spare : m_spares) {
        if (spare.keycode == keycode) {
            spare.lastUse = std::chrono::steady_clock::now();
            spare.unconfirmed = true;
            spare.ping.reset();
        }
    }
}

void X11Keyboard::pingReceivingClient()
{
    if (std::none_of(m_spares.cbegin(), m_spares.cend(), [](const SpareKeycode &spare) { return spare.unconfirmed; }))
        return;
    std::optional<unsigned long> ping;
    if (const Window client = receivingClient(); client != None) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = client;
        event.xclient.message_type = m_protocolsAtom;
        event.xclient.format = 32;
        event.xclient.data.l[0] = static_cast<long>(m_pingAtom);
        event.xclient.data.l[1] = static_cast<long>(m_pingsSent + 1);
        event.xclient.data.l[2] = static_cast<long>(client);
        X11ErrorTrap trap;
        XSendEvent(m_connection->display(), client, False, NoEventMask, &event);
        XSync(m_connection->display(), False);
        if (!trap.failed())
            ping = ++m_pingsSent;
    }
    for (SpareKeycode &spare : m_spares) {
        if (spare.unconfirmed) {
            spare.unconfirmed = false;
            spare.ping = ping;
        }
    }
}

// The window that has the keyboard focus, or the one under the pointer when the focus follows
// it, and of it and its ancestors the first that takes pings: the client's top-level window (a
// window manager's frame around it takes none). None when there is no such window.
unsigned long X11Keyboard::receivingClient() const
{
    Display *display = m_connection->display();
    const Window root = m_connection->root();
    X11ErrorTrap trap;
    Window focus = None;
    int revert = 0;
    XGetInputFocus(display, &focus, &revert);
    if (focus == None)
        return None;
    if (focus == PointerRoot) {
        // Down the windows under the pointer to the first that takes pings.
        Window current = root;
        for (int depth = 0; depth < 8 && current != None; ++depth) {
            Window rootReturn = None;
            Window child = None;
            int rootX = 0;
            int rootY = 0;
            int x = 0;
            int y = 0;
            unsigned int mask = 0;
            if (!XQueryPointer(display, current, &rootReturn, &child, &rootX, &rootY, &x, &y, &mask))
                return None;
            if (child == None)
                return None;
            if (answersPing(child))
                return child;
            current = child;
        }
        return None;
    }
    for (Window current = focus; current != None && current != root;) {
        if (answersPing(current))
            return current;
        Window rootReturn = None;
        Window parent = None;
        Window *children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(display, current, &rootReturn, &parent, &children, &count))
            return None;
        if (children)
            XFree(children);
        current = parent;
    }
    return None;
}

bool X11Keyboard::answersPing(unsigned long window) const
{
    Atom *protocols = nullptr;
    int count = 0;
    if (!XGetWMProtocols(m_connection->display(), window, &protocols, &count) || !protocols)
        return false;
    const bool answers = std::find(protocols, protocols + count, m_pingAtom) != protocols + count;
    XFree(protocols);
    return answers;
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
