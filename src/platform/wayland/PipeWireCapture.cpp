#include "PipeWireCapture.h"

#include <QMetaObject>
#include <QSocketNotifier>

#include <pipewire/pipewire.h>
#include <spa/buffer/buffer.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <cstring>
#include <functional>
#include <mutex>
#include <unordered_map>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

namespace {

constexpr std::uint32_t maxDimension = 16384;
// The host takes a picture about ten times a second at most. A compositor copies every frame it
// sends into shared memory, so a cap a little above that keeps pictures fresh without making it
// copy frames that nobody looks at.
constexpr spa_fraction maxFramerate{30, 1};
// Enough for the format and buffer parameters below.
constexpr std::size_t paramBufferBytes = 1024;
// Passes of PipeWire's loop per dispatch: enough to take everything pending, bounded so that a
// flood of events cannot hold the main thread.
constexpr int maxLoopPasses = 16;

void initialisePipeWire()
{
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

bool handedOutInPlace(std::uint32_t format)
{
    return format == SPA_VIDEO_FORMAT_BGRx || format == SPA_VIDEO_FORMAT_BGRA;
}

bool swapsRedAndBlue(std::uint32_t format)
{
    return format == SPA_VIDEO_FORMAT_RGBx || format == SPA_VIDEO_FORMAT_RGBA;
}

// A shared-memory buffer mapped here rather than by PipeWire: PipeWire unmaps its buffers when it
// drops them (a new format, the end of the stream), this mapping lasts as long as an image needs it.
struct Mapping
{
    void *address = MAP_FAILED;
    std::size_t length = 0;

    ~Mapping()
    {
        if (address != MAP_FAILED)
            munmap(address, length);
    }
};

std::shared_ptr<Mapping> mapBuffer(const spa_data &data)
{
    if (data.fd < 0 || data.maxsize == 0)
        return nullptr;
    auto mapping = std::make_shared<Mapping>();
    mapping->length = static_cast<std::size_t>(data.mapoffset) + data.maxsize;
    mapping->address = mmap(nullptr, mapping->length, PROT_READ, MAP_SHARED, static_cast<int>(data.fd), 0);
    if (mapping->address == MAP_FAILED)
        return nullptr;
    return mapping;
}

} // namespace

struct PipeWireCapture::Connection
{
    // One frame handed out: either a buffer kept from the stream (released back to it when the
    // last image of it goes), or a copy.
    struct Frame
    {
        std::weak_ptr<Connection> connection;
        pw_buffer *buffer = nullptr;
        std::shared_ptr<Mapping> mapping;
        std::vector<std::uint8_t> copy;
        int width = 0;
        int height = 0;
        int stride = 0;
        const std::uint8_t *pixels = nullptr;

        ~Frame()
        {
            if (!buffer)
                return;
            const std::shared_ptr<Connection> owner = connection.lock();
            if (owner && owner->stream && owner->buffers.count(buffer))
                pw_stream_queue_buffer(owner->stream, buffer);
        }
    };

    pw_loop *loop = nullptr;
    pw_context *context = nullptr;
    pw_core *core = nullptr;
    pw_stream *stream = nullptr;
    spa_hook coreListener{};
    spa_hook streamListener{};
    std::weak_ptr<Connection> self;

    spa_video_info_raw format{};
    bool formatKnown = false;
    // The buffers the stream has now, with their mapping (none for plain memory).
    std::unordered_map<pw_buffer *, std::shared_ptr<Mapping>> buffers;
    std::shared_ptr<Frame> latest;
    std::uint64_t frames = 0;

    // Runs inside PipeWire's loop: it must only note the failure for later.
    std::function<void(const QString &)> broke;

    ~Connection()
    {
        latest.reset();
        if (stream) {
            spa_hook_remove(&streamListener);
            pw_stream_destroy(stream);
        }
        if (core) {
            spa_hook_remove(&coreListener);
            pw_core_disconnect(core);
        }
        if (context)
            pw_context_destroy(context);
        if (loop)
            pw_loop_destroy(loop);
    }

    void negotiated(const spa_pod *param);
    void process();
    std::shared_ptr<Frame> frameOf(pw_buffer *buffer);
};

void PipeWireCapture::Connection::negotiated(const spa_pod *param)
{
    std::uint32_t mediaType = 0;
    std::uint32_t mediaSubtype = 0;
    formatKnown = false;
    if (!param || spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video
        || mediaSubtype != SPA_MEDIA_SUBTYPE_raw)
        return;
    spa_video_info_raw raw{};
    if (spa_format_video_raw_parse(param, &raw) < 0 || raw.size.width == 0 || raw.size.height == 0
        || raw.size.width > maxDimension || raw.size.height > maxDimension
        || !(handedOutInPlace(raw.format) || swapsRedAndBlue(raw.format)))
        return;
    format = raw;
    formatKnown = true;

    // Shared memory (or plain memory the stream fills); no GPU buffers, which would need a
    // download before every picture.
    std::uint8_t storage[paramBufferBytes];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
    const int dataTypes = (1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr);
    const spa_pod *buffersParam = static_cast<const spa_pod *>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int(dataTypes)));
    pw_stream_update_params(stream, &buffersParam, 1);
}

std::shared_ptr<PipeWireCapture::Connection::Frame> PipeWireCapture::Connection::frameOf(pw_buffer *buffer)
{
    spa_buffer *contents = buffer->buffer;
    if (!formatKnown || !contents || contents->n_datas < 1)
        return nullptr;
    const spa_data &data = contents->datas[0];
    const spa_chunk *chunk = data.chunk;
    // Cursor-only updates and damaged frames carry no picture.
    if (!chunk || chunk->size == 0 || (chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) || data.maxsize == 0)
        return nullptr;

    const auto width = static_cast<int>(format.size.width);
    const auto height = static_cast<int>(format.size.height);
    const std::int64_t rowBytes = static_cast<std::int64_t>(width) * 4;
    const std::int64_t stride = chunk->stride > 0 ? chunk->stride : rowBytes;
    const std::int64_t offset = chunk->offset % data.maxsize;
    if (stride < rowBytes || offset + stride * (height - 1) + rowBytes > static_cast<std::int64_t>(data.maxsize))
        return nullptr;

    const auto found = buffers.find(buffer);
    if (found == buffers.end())
        return nullptr;
    const std::shared_ptr<Mapping> &mapping = found->second;
    const std::uint8_t *base = nullptr;
    if (data.type == SPA_DATA_MemFd && mapping)
        base = static_cast<const std::uint8_t *>(mapping->address) + data.mapoffset;
    else if (data.type == SPA_DATA_MemPtr && data.data)
        base = static_cast<const std::uint8_t *>(data.data);
    if (!base)
        return nullptr;
    const std::uint8_t *source = base + offset;

    auto frame = std::make_shared<Frame>();
    frame->width = width;
    frame->height = height;
    if (handedOutInPlace(format.format) && data.type == SPA_DATA_MemFd) {
        frame->connection = self;
        frame->buffer = buffer;
        frame->mapping = mapping;
        frame->stride = static_cast<int>(stride);
        frame->pixels = source;
        return frame;
    }
    // Memory that goes away with the buffer, or another channel order: one copy in BGRX.
    frame->stride = static_cast<int>(rowBytes);
    frame->copy.resize(static_cast<std::size_t>(rowBytes) * height);
    for (int y = 0; y < height; ++y) {
        const std::uint8_t *in = source + y * stride;
        std::uint8_t *out = frame->copy.data() + y * rowBytes;
        if (!swapsRedAndBlue(format.format)) {
            std::memcpy(out, in, static_cast<std::size_t>(rowBytes));
            continue;
        }
        for (int x = 0; x < width; ++x, in += 4, out += 4) {
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
            out[3] = in[3];
        }
    }
    frame->pixels = frame->copy.data();
    return frame;
}

// Only the newest frame matters: older ones still queued go straight back to the producer.
void PipeWireCapture::Connection::process()
{
    std::shared_ptr<Frame> newest;
    while (pw_buffer *buffer = pw_stream_dequeue_buffer(stream)) {
        std::shared_ptr<Frame> frame = frameOf(buffer);
        if (!frame || !frame->buffer)
            pw_stream_queue_buffer(stream, buffer);
        if (frame)
            newest = std::move(frame);
    }
    if (!newest)
        return;
    latest = std::move(newest); // the previous frame goes back unless an image of it is held
    ++frames;
}

namespace {

void onCoreError(void *data, std::uint32_t id, int, int, const char *message)
{
    const auto &broke = *static_cast<std::function<void(const QString &)> *>(data);
    if (id == PW_ID_CORE && broke)
        broke(QStringLiteral("PipeWire: ") + QString::fromUtf8(message ? message : "connection error"));
}

} // namespace

PipeWireCapture::PipeWireCapture(QObject *parent)
    : QObject(parent)
{}

PipeWireCapture::~PipeWireCapture()
{
    disconnect();
}

bool PipeWireCapture::connectTo(std::uint32_t nodeId, int remoteFd)
{
    disconnect();
    m_failure.clear();
    initialisePipeWire();

    auto connection = std::make_shared<Connection>();
    connection->self = connection;
    // The descriptor is PipeWire's once handed to it, even when connecting fails.
    bool remoteHandedOver = false;
    const auto refuse = [&](const QString &reason) {
        if (remoteFd >= 0 && !remoteHandedOver)
            close(remoteFd);
        m_failure = reason;
        return false;
    };
    connection->loop = pw_loop_new(nullptr);
    if (!connection->loop)
        return refuse(QStringLiteral("PipeWire: no loop"));
    connection->context = pw_context_new(connection->loop, nullptr, 0);
    if (!connection->context)
        return refuse(QStringLiteral("PipeWire: no context"));
    remoteHandedOver = remoteFd >= 0;
    connection->core = remoteFd >= 0 ? pw_context_connect_fd(connection->context, remoteFd, nullptr, 0)
                                     : pw_context_connect(connection->context, nullptr, 0);
    if (!connection->core)
        return refuse(QStringLiteral("PipeWire: the daemon cannot be reached"));

    const std::uint64_t generation = ++m_generation;
    connection->broke = [this, generation](const QString &reason) {
        // Tearing the stream down inside its own callback is not allowed: later, from Qt's loop,
        // and only if this is still the stream.
        QMetaObject::invokeMethod(
            this,
            [this, generation, reason] {
                if (m_connection && m_generation == generation)
                    reportFailure(reason);
            },
            Qt::QueuedConnection);
    };

    static const pw_core_events coreEvents = [] {
        pw_core_events events{};
        events.version = PW_VERSION_CORE_EVENTS;
        events.error = onCoreError;
        return events;
    }();
    pw_core_add_listener(connection->core, &connection->coreListener, &coreEvents, &connection->broke);

    connection->stream = pw_stream_new(connection->core, "kivren-screen",
                                       pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                                         "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    if (!connection->stream)
        return refuse(QStringLiteral("PipeWire: no stream"));

    static const pw_stream_events streamEvents = [] {
        pw_stream_events events{};
        events.version = PW_VERSION_STREAM_EVENTS;
        events.state_changed = [](void *data, pw_stream_state old, pw_stream_state state, const char *error) {
            auto *owner = static_cast<Connection *>(data);
            if (state == PW_STREAM_STATE_ERROR)
                owner->broke(QStringLiteral("PipeWire stream: ") + QString::fromUtf8(error ? error : "error"));
            else if (state == PW_STREAM_STATE_UNCONNECTED && old != PW_STREAM_STATE_UNCONNECTED)
                owner->broke(QStringLiteral("PipeWire stream: disconnected"));
        };
        events.param_changed = [](void *data, std::uint32_t id, const spa_pod *param) {
            if (id == SPA_PARAM_Format)
                static_cast<Connection *>(data)->negotiated(param);
        };
        events.add_buffer = [](void *data, pw_buffer *buffer) {
            auto *owner = static_cast<Connection *>(data);
            std::shared_ptr<Mapping> mapping;
            if (buffer->buffer && buffer->buffer->n_datas >= 1 && buffer->buffer->datas[0].type == SPA_DATA_MemFd)
                mapping = mapBuffer(buffer->buffer->datas[0]);
            owner->buffers[buffer] = std::move(mapping);
        };
        events.remove_buffer = [](void *data, pw_buffer *buffer) {
            static_cast<Connection *>(data)->buffers.erase(buffer);
        };
        events.process = [](void *data) { static_cast<Connection *>(data)->process(); };
        return events;
    }();
    pw_stream_add_listener(connection->stream, &connection->streamListener, &streamEvents, connection.get());

    std::uint8_t storage[paramBufferBytes];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
    spa_rectangle defaultSize{1920, 1080};
    spa_rectangle minSize{1, 1};
    spa_rectangle maxSize{maxDimension, maxDimension};
    spa_fraction anyRate{0, 1};
    spa_fraction defaultRate = maxFramerate;
    spa_fraction minRate{1, 1};
    spa_fraction maxRate = maxFramerate;
    const spa_pod *formatParam = static_cast<const spa_pod *>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
        SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                               SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defaultSize, &minSize, &maxSize),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&anyRate), SPA_FORMAT_VIDEO_maxFramerate,
        SPA_POD_CHOICE_RANGE_Fraction(&defaultRate, &minRate, &maxRate)));
    const int connected = pw_stream_connect(
        connection->stream, PW_DIRECTION_INPUT, nodeId,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_DONT_RECONNECT), &formatParam, 1);
    if (connected < 0)
        return refuse(QStringLiteral("PipeWire: the stream cannot connect to node %1").arg(nodeId));

    m_connection = std::move(connection);
    m_notifier = std::make_unique<QSocketNotifier>(pw_loop_get_fd(m_connection->loop), QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, this, &PipeWireCapture::dispatch);
    dispatch();
    return true;
}

void PipeWireCapture::disconnect()
{
    m_notifier.reset();
    m_connection.reset();
}

bool PipeWireCapture::connected() const
{
    return m_connection != nullptr;
}

const QString &PipeWireCapture::failure() const
{
    return m_failure;
}

std::optional<ScreenImage> PipeWireCapture::latestFrame()
{
    dispatch();
    if (!m_connection || !m_connection->latest)
        return std::nullopt;
    const std::shared_ptr<Connection::Frame> &frame = m_connection->latest;
    return ScreenImage{frame->width, frame->height, frame->stride, frame->pixels,
                       std::shared_ptr<const void>(frame, frame->pixels)};
}

std::uint64_t PipeWireCapture::framesReceived() const
{
    return m_connection ? m_connection->frames : 0;
}

void PipeWireCapture::dispatch()
{
    if (!m_connection || m_dispatching)
        return;
    m_dispatching = true;
    // Held by this call: a callback may not take the connection away underneath the loop.
    const std::shared_ptr<Connection> connection = m_connection;
    pw_loop_enter(connection->loop);
    for (int pass = 0; pass < maxLoopPasses && pw_loop_iterate(connection->loop, 0) > 0; ++pass) {
    }
    pw_loop_leave(connection->loop);
    m_dispatching = false;
}

void PipeWireCapture::reportFailure(const QString &reason)
{
    disconnect();
    m_failure = reason;
    emit failed(reason);
}
