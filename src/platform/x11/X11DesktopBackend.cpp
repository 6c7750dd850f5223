#include "X11DesktopBackend.h"

#include "X11Keysyms.h"
#include "X11MainDisplay.h"

#include <QByteArray>
#include <QList>
#include <QRect>
#include <QtGlobal>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>
#include <vector>

#include <sys/ipc.h>
#include <sys/shm.h>

// Xlib last: its macros (None, Bool, Status, ...) clash with Qt headers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>
#include <X11/keysym.h>

namespace {

// A wheel click on X scrolls about three lines; 40 pixels is close to one such step.
constexpr double pixelsPerWheelClick = 40;
// A runaway delta must not turn into thousands of clicks queued on the server.
constexpr int maxWheelClicksPerEvent = 25;
// X coordinates are signed 16-bit.
constexpr double coordinateLimit = 32767;

constexpr unsigned int leftButton = 1;
constexpr unsigned int rightButton = 3;
constexpr unsigned int wheelUpButton = 4;
constexpr unsigned int wheelDownButton = 5;

// Spare keycodes that characters missing from the keymap are typed through, and how long one
// keeps its character after its last press before it may be given another (see mapSpare).
constexpr std::size_t maxSpareKeycodes = 64;
constexpr std::chrono::milliseconds spareKeycodeHold{50};

struct XConnection
{
    Display *display = nullptr;
    ~XConnection()
    {
        if (display)
            XCloseDisplay(display);
    }
};

// Xlib's default error handler ends the process. Requests that the server may legitimately
// refuse (shared memory, GetImage of a rectangle that just vanished, keymap changes) run
// under this trap, which only counts errors. Main thread only.
int trappedErrors = 0;

int countError(Display *, XErrorEvent *)
{
    ++trappedErrors;
    return 0;
}

class ErrorTrap
{
public:
    ErrorTrap()
        : m_previous(XSetErrorHandler(countError))
        , m_before(trappedErrors)
    {}
    ~ErrorTrap() { XSetErrorHandler(m_previous); }
    ErrorTrap(const ErrorTrap &) = delete;
    ErrorTrap &operator=(const ErrorTrap &) = delete;

    bool failed() const { return trappedErrors != m_before; }

private:
    XErrorHandler m_previous;
    int m_before;
};

bool isNativeBgrx(const XImage &image)
{
    const bool hostLittleEndian = Q_BYTE_ORDER == Q_LITTLE_ENDIAN;
    return image.bits_per_pixel == 32 && image.byte_order == (hostLittleEndian ? LSBFirst : MSBFirst)
        && image.red_mask == 0xff0000 && image.green_mask == 0xff00 && image.blue_mask == 0xff;
}

// One shared-memory segment attached to the server, with the XImage describing it.
struct ShmFrame
{
    std::shared_ptr<XConnection> connection;
    XShmSegmentInfo info{};
    XImage *image = nullptr;
    bool attached = false;

    ShmFrame() { info.shmaddr = reinterpret_cast<char *>(-1); }
    ~ShmFrame()
    {
        if (attached) {
            XShmDetach(connection->display, &info);
            XFlush(connection->display);
        }
        if (image) {
            image->data = nullptr; // the segment is not Xlib's to free
            XDestroyImage(image);
        }
        if (info.shmaddr != reinterpret_cast<char *>(-1))
            shmdt(info.shmaddr);
    }
    ShmFrame(const ShmFrame &) = delete;
    ShmFrame &operator=(const ShmFrame &) = delete;
};

int channel(unsigned long pixel, unsigned long mask)
{
    if (!mask)
        return 0;
    int shift = 0;
    while (!((mask >> shift) & 1))
        ++shift;
    const unsigned long bits = mask >> shift;
    const unsigned long value = (pixel & mask) >> shift;
    return static_cast<int>(value * 255 / bits);
}

// Servers with other pixel layouts (16-bit depth, big-endian peers) are rare; a slow
// per-pixel conversion keeps them working.
std::shared_ptr<std::vector<std::uint8_t>> convertToBgrx(XImage *image, const Visual *visual)
{
    const unsigned long red = image->red_mask ? image->red_mask : visual->red_mask;
    const unsigned long green = image->green_mask ? image->green_mask : visual->green_mask;
    const unsigned long blue = image->blue_mask ? image->blue_mask : visual->blue_mask;
    auto pixels = std::make_shared<std::vector<std::uint8_t>>(
        static_cast<std::size_t>(image->width) * image->height * 4);
    std::uint8_t *out = pixels->data();
    for (int y = 0; y < image->height; ++y) {
        for (int x = 0; x < image->width; ++x) {
            const unsigned long pixel = XGetPixel(image, x, y);
            *out++ = static_cast<std::uint8_t>(channel(pixel, blue));
            *out++ = static_cast<std::uint8_t>(channel(pixel, green));
            *out++ = static_cast<std::uint8_t>(channel(pixel, red));
            *out++ = 0xff;
        }
    }
    return pixels;
}

int coordinate(double value)
{
    if (std::isnan(value))
        return 0;
    return static_cast<int>(std::lround(std::clamp(value, -coordinateLimit, coordinateLimit)));
}

struct KeyPosition
{
    KeyCode keycode = 0;
    bool shifted = false;
};

struct SpareKeycode
{
    KeyCode keycode = 0;
    KeySym keysym = NoSymbol; // what it types at the moment; NoSymbol when restored
    std::chrono::steady_clock::time_point lastUse{};
};

} // namespace

struct X11DesktopBackend::State
{
    std::shared_ptr<XConnection> connection;
    Display *display = nullptr;
    int screen = 0;
    Window root = 0;

    bool sharedMemory = false;
    std::shared_ptr<ShmFrame> frame;

    bool xtest = false;

    bool randr = false;
    int randrEventBase = 0;
    std::optional<QRect> mainDisplay; // cached until the server reports a change

    // Core keymap, fetched on first use and again after a MappingNotify.
    bool keymapStale = true;
    int minKeycode = 0;
    int maxKeycode = 0;
    int keysymsPerKeycode = 0;
    std::vector<KeySym> keymap;
    KeyCode shiftKeycode = 0;
    bool sparesFound = false;
    std::vector<SpareKeycode> spares;

    ~State();

    void drainEvents();
    QRect mainDisplayRect();
    QRect queryMainDisplay();

    std::optional<ScreenImage> captureShared(const QRect &rect);
    std::shared_ptr<ShmFrame> createShmFrame(int width, int height);
    std::optional<ScreenImage> captureCopy(const QRect &rect);

    void refreshKeymap();
    KeySym keysymAt(int keycode, int index) const;
    std::optional<KeyPosition> findKeysym(KeySym keysym) const;
    KeyCode mapSpare(KeySym keysym);
    void pressed(KeyCode keycode);
    void setKeycodeMapping(KeyCode keycode, KeySym keysym);
    void restoreSpares();

    void moveTo(QPointF point);
    void pressAndRelease(KeyCode keycode);
};

X11DesktopBackend::State::~State()
{
    restoreSpares();
    frame.reset();
}

// Events on this private connection: RandR changes of the screen layout, and MappingNotify
// (ours and others') which makes the cached keymap stale. Reading them also keeps Xlib's
// queue from growing over a long session.
void X11DesktopBackend::State::drainEvents()
{
    while (XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == MappingNotify) {
            XRefreshKeyboardMapping(&event.xmapping);
            keymapStale = true;
        } else if (randr && event.type >= randrEventBase && event.type <= randrEventBase + RRNotify) {
            XRRUpdateConfiguration(&event);
            mainDisplay.reset();
        }
    }
}

QRect X11DesktopBackend::State::mainDisplayRect()
{
    drainEvents();
    if (!mainDisplay)
        mainDisplay = queryMainDisplay();
    return *mainDisplay;
}

QRect X11DesktopBackend::State::queryMainDisplay()
{
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
    if (randr) {
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

std::shared_ptr<ShmFrame> X11DesktopBackend::State::createShmFrame(int width, int height)
{
    auto created = std::make_shared<ShmFrame>();
    created->connection = connection;
    created->image = XShmCreateImage(display, DefaultVisual(display, screen),
                                     static_cast<unsigned int>(DefaultDepth(display, screen)), ZPixmap,
                                     nullptr, &created->info, static_cast<unsigned int>(width),
                                     static_cast<unsigned int>(height));
    if (!created->image || !isNativeBgrx(*created->image)) {
        sharedMemory = false; // the copying path converts other layouts
        return nullptr;
    }
    const std::size_t bytes =
        static_cast<std::size_t>(created->image->bytes_per_line) * static_cast<std::size_t>(height);
    // Owner-only: the frame shows whatever is on screen.
    created->info.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (created->info.shmid < 0) {
        sharedMemory = false;
        return nullptr;
    }
    void *address = shmat(created->info.shmid, nullptr, 0);
    if (address == reinterpret_cast<void *>(-1)) {
        shmctl(created->info.shmid, IPC_RMID, nullptr);
        sharedMemory = false;
        return nullptr;
    }
    created->info.shmaddr = static_cast<char *>(address);
    created->image->data = created->info.shmaddr;
    created->info.readOnly = False;

    // A remote server, or one in another IPC namespace, refuses the attach with an error.
    XSync(display, False);
    {
        ErrorTrap trap;
        const Status status = XShmAttach(display, &created->info);
        XSync(display, False);
        created->attached = status && !trap.failed();
    }
    // Marked for removal at once: the segment goes away with the last detach, even after a crash.
    shmctl(created->info.shmid, IPC_RMID, nullptr);
    if (!created->attached) {
        sharedMemory = false;
        return nullptr;
    }
    return created;
}

std::optional<ScreenImage> X11DesktopBackend::State::captureShared(const QRect &rect)
{
    // A frame still held by a caller is left alone; the next capture gets a fresh segment.
    const bool reusable = frame && frame.use_count() == 1 && frame->image->width == rect.width()
        && frame->image->height == rect.height();
    if (!reusable) {
        frame.reset();
        frame = createShmFrame(rect.width(), rect.height());
        if (!frame)
            return std::nullopt;
    }
    {
        ErrorTrap trap;
        const Status status = XShmGetImage(display, root, frame->image, rect.x(), rect.y(), AllPlanes);
        if (!status || trap.failed()) {
            mainDisplay.reset(); // most likely the layout changed under us
            return std::nullopt;
        }
    }
    XImage *image = frame->image;
    return ScreenImage{image->width, image->height, image->bytes_per_line,
                       reinterpret_cast<const std::uint8_t *>(image->data),
                       std::shared_ptr<const void>(frame, image->data)};
}

std::optional<ScreenImage> X11DesktopBackend::State::captureCopy(const QRect &rect)
{
    XImage *raw = nullptr;
    {
        ErrorTrap trap;
        raw = XGetImage(display, root, rect.x(), rect.y(), static_cast<unsigned int>(rect.width()),
                        static_cast<unsigned int>(rect.height()), AllPlanes, ZPixmap);
        if (trap.failed() || !raw) {
            if (raw)
                XDestroyImage(raw);
            mainDisplay.reset();
            return std::nullopt;
        }
    }
    std::shared_ptr<XImage> image(raw, [](XImage *owned) { XDestroyImage(owned); });
    if (isNativeBgrx(*image)) {
        return ScreenImage{image->width, image->height, image->bytes_per_line,
                           reinterpret_cast<const std::uint8_t *>(image->data),
                           std::shared_ptr<const void>(image, image->data)};
    }
    auto pixels = convertToBgrx(image.get(), DefaultVisual(display, screen));
    return ScreenImage{image->width, image->height, image->width * 4, pixels->data(),
                       std::shared_ptr<const void>(pixels, pixels->data())};
}

void X11DesktopBackend::State::refreshKeymap()
{
    if (!keymapStale)
        return;
    keymapStale = false;
    keymap.clear();
    keysymsPerKeycode = 0;
    XDisplayKeycodes(display, &minKeycode, &maxKeycode);
    const int count = maxKeycode - minKeycode + 1;
    if (count <= 0)
        return;
    int perKeycode = 0;
    KeySym *symbols = XGetKeyboardMapping(display, static_cast<KeyCode>(minKeycode), count, &perKeycode);
    if (!symbols)
        return;
    keymap.assign(symbols, symbols + static_cast<std::size_t>(count) * perKeycode);
    keysymsPerKeycode = perKeycode;
    XFree(symbols);
    // From the keymap just read rather than Xlib's own copy, which may lag behind.
    shiftKeycode = 0;
    for (const KeySym shift : {KeySym(XK_Shift_L), KeySym(XK_Shift_R)}) {
        if (const std::optional<KeyPosition> position = findKeysym(shift); position && !shiftKeycode)
            shiftKeycode = position->keycode;
    }

    if (!sparesFound) {
        // Keycodes that type nothing in the keymap as it was when we started.
        sparesFound = true;
        for (int keycode = maxKeycode; keycode >= minKeycode && spares.size() < maxSpareKeycodes; --keycode) {
            bool empty = true;
            for (int index = 0; index < keysymsPerKeycode && empty; ++index)
                empty = keysymAt(keycode, index) == NoSymbol;
            if (empty)
                spares.push_back(SpareKeycode{static_cast<KeyCode>(keycode), NoSymbol, {}});
        }
    }
}

KeySym X11DesktopBackend::State::keysymAt(int keycode, int index) const
{
    if (keycode < minKeycode || keycode > maxKeycode || index >= keysymsPerKeycode)
        return NoSymbol;
    return keymap[static_cast<std::size_t>(keycode - minKeycode) * keysymsPerKeycode + index];
}

// Only the first group's two levels are used: plain and with Shift. A second level given as
// NoSymbol means the case pair of the first, as Xlib reads it.
std::optional<KeyPosition> X11DesktopBackend::State::findKeysym(KeySym keysym) const
{
    std::optional<KeyPosition> shiftedMatch;
    for (int keycode = minKeycode; keycode <= maxKeycode; ++keycode) {
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
        if (shifted == keysym && !shiftedMatch && shiftKeycode)
            shiftedMatch = KeyPosition{static_cast<KeyCode>(keycode), true};
    }
    return shiftedMatch;
}

void X11DesktopBackend::State::setKeycodeMapping(KeyCode keycode, KeySym keysym)
{
    // The same symbol on both levels: a lone letter would otherwise type its lower case.
    KeySym symbols[2] = {keysym, keysym};
    ErrorTrap trap;
    XChangeKeyboardMapping(display, keycode, 2, symbols, 1);
    XSync(display, False);
}

// A receiving client looks the keysym up only when it handles the key event, possibly after
// we sent it and changed the keymap again. So a spare keycode keeps its character until it is
// needed for another one (least recently pressed first) or the backend closes, rather than
// being restored at once; and it is given a new character only after it has rested for a
// moment, which lets clients that keep up with their events read the previous one. Keymaps have
// a few dozen unused keycodes at most, so a long text in a script the keymap lacks does reuse
// them, and then waits.
KeyCode X11DesktopBackend::State::mapSpare(KeySym keysym)
{
    if (spares.empty())
        return 0;
    auto oldest = std::min_element(spares.begin(), spares.end(),
                                   [](const SpareKeycode &a, const SpareKeycode &b) { return a.lastUse < b.lastUse; });
    // Skip keycodes someone else has mapped since we looked.
    for (int index = 0; index < keysymsPerKeycode; ++index) {
        const KeySym current = keysymAt(oldest->keycode, index);
        if (current != NoSymbol && current != oldest->keysym) {
            spares.erase(oldest);
            return mapSpare(keysym);
        }
    }
    if (oldest->keysym != NoSymbol) {
        XSync(display, False);
        const auto restUntil = oldest->lastUse + spareKeycodeHold;
        if (std::chrono::steady_clock::now() < restUntil)
            std::this_thread::sleep_until(restUntil);
    }
    setKeycodeMapping(oldest->keycode, keysym);
    oldest->keysym = keysym;
    oldest->lastUse = std::chrono::steady_clock::now();
    const std::size_t offset = static_cast<std::size_t>(oldest->keycode - minKeycode) * keysymsPerKeycode;
    for (int index = 0; index < keysymsPerKeycode; ++index)
        keymap[offset + index] = index < 2 ? keysym : NoSymbol;
    return oldest->keycode;
}

void X11DesktopBackend::State::pressed(KeyCode keycode)
{
    for (SpareKeycode &spare : spares) {
        if (spare.keycode == keycode)
            spare.lastUse = std::chrono::steady_clock::now();
    }
}

void X11DesktopBackend::State::restoreSpares()
{
    bool changed = false;
    for (SpareKeycode &spare : spares) {
        if (spare.keysym == NoSymbol)
            continue;
        setKeycodeMapping(spare.keycode, NoSymbol);
        spare.keysym = NoSymbol;
        changed = true;
    }
    if (changed)
        XSync(display, False);
}

void X11DesktopBackend::State::moveTo(QPointF point)
{
    XTestFakeMotionEvent(display, screen, coordinate(point.x()), coordinate(point.y()), CurrentTime);
}

void X11DesktopBackend::State::pressAndRelease(KeyCode keycode)
{
    // X keeps a key held until its release arrives, so every press gets one.
    XTestFakeKeyEvent(display, keycode, True, CurrentTime);
    XTestFakeKeyEvent(display, keycode, False, CurrentTime);
}

X11DesktopBackend::X11DesktopBackend(std::unique_ptr<State> state)
    : d(std::move(state))
{}

X11DesktopBackend::~X11DesktopBackend() = default;

std::unique_ptr<X11DesktopBackend> X11DesktopBackend::open(const QString &displayName)
{
    return open(displayName, Options{});
}

std::unique_ptr<X11DesktopBackend> X11DesktopBackend::open(const QString &displayName, Options options)
{
    const QByteArray name = displayName.toLocal8Bit();
    Display *display = XOpenDisplay(name.isEmpty() ? nullptr : name.constData());
    if (!display)
        return nullptr;
    auto state = std::make_unique<State>();
    state->connection = std::make_shared<XConnection>();
    state->connection->display = display;
    state->display = display;
    state->screen = DefaultScreen(display);
    state->root = RootWindow(display, state->screen);

    state->sharedMemory = options.sharedMemory && XShmQueryExtension(display);

    int eventBase = 0;
    int errorBase = 0;
    int major = 0;
    int minor = 0;
    state->xtest = XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor);

    // Outputs and the primary one need RandR 1.3.
    if (XRRQueryExtension(display, &state->randrEventBase, &errorBase)
        && XRRQueryVersion(display, &major, &minor) && (major > 1 || (major == 1 && minor >= 3))) {
        state->randr = true;
        XRRSelectInput(display, state->root,
                       RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
    }
    return std::unique_ptr<X11DesktopBackend>(new X11DesktopBackend(std::move(state)));
}

std::optional<ScreenImage> X11DesktopBackend::captureMainDisplay()
{
    const QRect rect = d->mainDisplayRect();
    if (rect.isEmpty())
        return std::nullopt;
    if (d->sharedMemory) {
        std::optional<ScreenImage> image = d->captureShared(rect);
        if (image || d->sharedMemory)
            return image;
        // Shared memory was just refused: this frame and all later ones are copied.
    }
    return d->captureCopy(rect);
}

QRectF X11DesktopBackend::mainDisplayBounds()
{
    return QRectF(d->mainDisplayRect());
}

void X11DesktopBackend::warpPointer(QPointF point)
{
    if (!d->xtest)
        return;
    d->moveTo(point);
    XFlush(d->display);
}

// X has no click-state field: a double click is two press/release pairs in quick succession,
// and the viewer already sends each of them as its own down and up. The click state is
// therefore ignored here; forging extra clicks from it would turn one double click into four.
void X11DesktopBackend::postMouse(MouseEvent type, QPointF point, std::int64_t clickState)
{
    if (!d->xtest)
        return;
    // A mouse event at a point also puts the pointer there.
    d->moveTo(point);
    switch (type) {
    case MouseEvent::Moved:
    case MouseEvent::LeftDragged:
        break;
    case MouseEvent::LeftDown:
        XTestFakeButtonEvent(d->display, leftButton, True, CurrentTime);
        break;
    case MouseEvent::LeftUp:
        XTestFakeButtonEvent(d->display, leftButton, False, CurrentTime);
        break;
    case MouseEvent::RightDown:
        XTestFakeButtonEvent(d->display, rightButton, True, CurrentTime);
        break;
    case MouseEvent::RightUp:
        XTestFakeButtonEvent(d->display, rightButton, False, CurrentTime);
        break;
    }
    XFlush(d->display);
}

// Pixel deltas become wheel clicks: positive (content moves down, "scroll up") is button 4,
// negative button 5; one click per 40 pixels, rounded, at least one so that a small delta
// still scrolls, at most 25 per event. X delivers wheel clicks to the window under the
// pointer, so the pointer visits `point` for the clicks and is put back where it was.
void X11DesktopBackend::postScroll(QPointF point, std::int32_t deltaY)
{
    if (!d->xtest || deltaY == 0)
        return;
    const double magnitude = std::abs(static_cast<double>(deltaY));
    const int clicks = std::clamp(static_cast<int>(std::lround(magnitude / pixelsPerWheelClick)), 1,
                                  maxWheelClicksPerEvent);
    const unsigned int button = deltaY > 0 ? wheelUpButton : wheelDownButton;

    Window rootReturn = 0;
    Window child = 0;
    int pointerX = 0;
    int pointerY = 0;
    int windowX = 0;
    int windowY = 0;
    unsigned int mask = 0;
    const bool known = XQueryPointer(d->display, d->root, &rootReturn, &child, &pointerX, &pointerY,
                                     &windowX, &windowY, &mask);
    const bool visit = !known || pointerX != coordinate(point.x()) || pointerY != coordinate(point.y());
    if (visit)
        d->moveTo(point);
    for (int click = 0; click < clicks; ++click) {
        XTestFakeButtonEvent(d->display, button, True, CurrentTime);
        XTestFakeButtonEvent(d->display, button, False, CurrentTime);
    }
    if (visit && known)
        XTestFakeMotionEvent(d->display, d->screen, pointerX, pointerY, CurrentTime);
    XFlush(d->display);
}

// The X server repeats a held key by itself, which injected key-downs elsewhere do not do: a
// press whose release is late would type it again and again, and one whose release never
// comes (a key message without "down" is a press) would repeat until someone touches that
// key, a Backspace erasing a whole document. So a press is sent as a complete keystroke and
// the release that follows has nothing left to do. The special keys are no modifiers; nothing
// is lost by not holding them.
void X11DesktopBackend::postKey(SpecialKey key, bool down)
{
    if (!d->xtest || !down)
        return;
    const std::optional<unsigned long> keysym = X11Keysyms::ofSpecialKey(key);
    if (!keysym)
        return;
    d->drainEvents();
    d->refreshKeymap();
    const std::optional<KeyPosition> position = d->findKeysym(*keysym);
    KeyCode keycode = position && !position->shifted ? position->keycode : 0;
    if (!keycode)
        keycode = d->mapSpare(*keysym);
    if (!keycode)
        return;
    d->pressed(keycode);
    d->pressAndRelease(keycode);
    XFlush(d->display);
}

// Each character is typed with the key that produces it in the current keymap (with Shift
// for its second level), or else through a spare keycode mapped to it for the purpose.
// Caps Lock and other held modifiers are not compensated.
void X11DesktopBackend::typeText(const QString &text)
{
    if (!d->xtest || text.isEmpty())
        return;
    d->drainEvents();
    d->refreshKeymap();
    const QList<uint> codePoints = text.toUcs4();
    for (qsizetype i = 0; i < codePoints.size(); ++i) {
        // A Windows line end is one Return, not two.
        if (codePoints[i] == U'\n' && i > 0 && codePoints[i - 1] == U'\r')
            continue;
        const std::optional<unsigned long> keysym = X11Keysyms::ofCodePoint(codePoints[i]);
        if (!keysym)
            continue;
        std::optional<KeyPosition> position = d->findKeysym(*keysym);
        if (!position) {
            const KeyCode spare = d->mapSpare(*keysym);
            if (!spare)
                continue;
            position = KeyPosition{spare, false};
        }
        d->pressed(position->keycode);
        if (position->shifted)
            XTestFakeKeyEvent(d->display, d->shiftKeycode, True, CurrentTime);
        d->pressAndRelease(position->keycode);
        if (position->shifted)
            XTestFakeKeyEvent(d->display, d->shiftKeycode, False, CurrentTime);
    }
    XFlush(d->display);
}

bool X11DesktopBackend::isTrusted()
{
    return true;
}

void X11DesktopBackend::promptForTrust() {}

bool X11DesktopBackend::usesSharedMemory() const
{
    return d->sharedMemory;
}
