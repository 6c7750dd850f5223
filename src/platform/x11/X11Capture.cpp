#include "X11Capture.h"

#include "X11Connection.h"

#include <QtGlobal>

#include <cstdint>
#include <utility>
#include <vector>

#include <sys/ipc.h>
#include <sys/shm.h>

// Xlib last: its macros clash with Qt headers.
#include "X11ErrorTrap.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>

namespace {

bool isNativeBgrx(const XImage &image)
{
    const bool hostLittleEndian = Q_BYTE_ORDER == Q_LITTLE_ENDIAN;
    return image.bits_per_pixel == 32 && image.byte_order == (hostLittleEndian ? LSBFirst : MSBFirst)
        && image.red_mask == 0xff0000 && image.green_mask == 0xff00 && image.blue_mask == 0xff;
}

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

} // namespace

// One shared-memory segment attached to the server, with the XImage describing it. Built whole
// or not at all: the destructor undoes whatever part of the creation had succeeded.
struct X11Capture::ShmFrame
{
    std::shared_ptr<X11Connection> connection;
    XShmSegmentInfo info{};
    XImage *image = nullptr;
    bool attached = false;

    explicit ShmFrame(std::shared_ptr<X11Connection> owner)
        : connection(std::move(owner))
    {
        info.shmaddr = reinterpret_cast<char *>(-1);
    }
    ~ShmFrame()
    {
        if (attached) {
            XShmDetach(connection->display(), &info);
            XFlush(connection->display());
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

    // Null when the server or the system refuses, or when the server's pixels are not native
    // BGRX (the copying path converts other layouts).
    static std::shared_ptr<ShmFrame> create(const std::shared_ptr<X11Connection> &connection, int width, int height)
    {
        Display *display = connection->display();
        const int screen = connection->screen();
        auto created = std::make_shared<ShmFrame>(connection);
        created->image = XShmCreateImage(display, DefaultVisual(display, screen),
                                         static_cast<unsigned int>(DefaultDepth(display, screen)), ZPixmap,
                                         nullptr, &created->info, static_cast<unsigned int>(width),
                                         static_cast<unsigned int>(height));
        if (!created->image || !isNativeBgrx(*created->image))
            return nullptr;
        const std::size_t bytes =
            static_cast<std::size_t>(created->image->bytes_per_line) * static_cast<std::size_t>(height);
        // Owner-only: the frame shows whatever is on screen.
        created->info.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (created->info.shmid < 0)
            return nullptr;
        void *address = shmat(created->info.shmid, nullptr, 0);
        if (address == reinterpret_cast<void *>(-1)) {
            shmctl(created->info.shmid, IPC_RMID, nullptr);
            return nullptr;
        }
        created->info.shmaddr = static_cast<char *>(address);
        created->image->data = created->info.shmaddr;
        created->info.readOnly = False;

        // A remote server, or one in another IPC namespace, refuses the attach with an error.
        XSync(display, False);
        {
            X11ErrorTrap trap;
            const Status status = XShmAttach(display, &created->info);
            XSync(display, False);
            created->attached = status && !trap.failed();
        }
        // Marked for removal at once: the segment goes away with the last detach, even after a crash.
        shmctl(created->info.shmid, IPC_RMID, nullptr);
        if (!created->attached)
            return nullptr;
        return created;
    }
};

X11Capture::X11Capture(std::shared_ptr<X11Connection> connection, bool sharedMemory)
    : m_connection(std::move(connection))
    , m_sharedMemory(sharedMemory && XShmQueryExtension(m_connection->display()))
{}

std::optional<ScreenImage> X11Capture::capture(const QRect &rect)
{
    if (m_sharedMemory) {
        std::optional<ScreenImage> image = captureShared(rect);
        if (image || m_sharedMemory)
            return image;
        // Shared memory was just refused: this frame and all later ones are copied.
    }
    return captureCopy(rect);
}

std::optional<ScreenImage> X11Capture::captureShared(const QRect &rect)
{
    // A frame still held by a caller is left alone; the next capture gets a fresh segment.
    const bool reusable = m_frame && m_frame.use_count() == 1 && m_frame->image->width == rect.width()
        && m_frame->image->height == rect.height();
    if (!reusable) {
        m_frame.reset();
        m_frame = ShmFrame::create(m_connection, rect.width(), rect.height());
        if (!m_frame) {
            m_sharedMemory = false;
            return std::nullopt;
        }
    }
    {
        X11ErrorTrap trap;
        const Status status = XShmGetImage(m_connection->display(), m_connection->root(), m_frame->image, rect.x(),
                                           rect.y(), AllPlanes);
        if (!status || trap.failed())
            return std::nullopt;
    }
    XImage *image = m_frame->image;
    return ScreenImage{image->width, image->height, image->bytes_per_line,
                       reinterpret_cast<const std::uint8_t *>(image->data),
                       std::shared_ptr<const void>(m_frame, image->data)};
}

std::optional<ScreenImage> X11Capture::captureCopy(const QRect &rect)
{
    Display *display = m_connection->display();
    XImage *raw = nullptr;
    {
        X11ErrorTrap trap;
        raw = XGetImage(display, m_connection->root(), rect.x(), rect.y(), static_cast<unsigned int>(rect.width()),
                        static_cast<unsigned int>(rect.height()), AllPlanes, ZPixmap);
        if (trap.failed() || !raw) {
            if (raw)
                XDestroyImage(raw);
            return std::nullopt;
        }
    }
    std::shared_ptr<XImage> image(raw, [](XImage *owned) { XDestroyImage(owned); });
    if (isNativeBgrx(*image)) {
        return ScreenImage{image->width, image->height, image->bytes_per_line,
                           reinterpret_cast<const std::uint8_t *>(image->data),
                           std::shared_ptr<const void>(image, image->data)};
    }
    auto pixels = convertToBgrx(image.get(), DefaultVisual(display, m_connection->screen()));
    return ScreenImage{image->width, image->height, image->width * 4, pixels->data(),
                       std::shared_ptr<const void>(pixels, pixels->data())};
}
