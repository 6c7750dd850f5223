#include "CurlSession.h"

#include <QCoreApplication>
#include <QList>
#include <QPointer>
#include <QSocketNotifier>

#include <algorithm>
#include <limits>

namespace {

constexpr long maxConnections = 16;
constexpr long maxRedirects = 16;
constexpr qsizetype maxSpareBuffers = 4;
constexpr qsizetype maxSpareCapacity = 8 * 1024 * 1024;

QList<QByteArray> &spareBuffers()
{
    static QList<QByteArray> buffers;
    return buffers;
}

} // namespace

CurlSession::Transfer::~Transfer()
{
    // Only reached while registered when the waiting coroutine frame is destroyed early.
    if (id != 0)
        CurlSession::shared().forget(*this);
    release(*this);
    CurlSession::recycle(std::move(body));
}

QByteArray CurlSession::takeBuffer()
{
    QList<QByteArray> &spares = spareBuffers();
    return spares.isEmpty() ? QByteArray() : spares.takeLast();
}

void CurlSession::recycle(QByteArray &&buffer)
{
    QList<QByteArray> &spares = spareBuffers();
    if (buffer.capacity() == 0 || buffer.capacity() > maxSpareCapacity || spares.size() >= maxSpareBuffers
        || !buffer.isDetached())
        return;
    buffer.resize(0);
    spares.append(std::move(buffer));
}

CurlSession &CurlSession::shared()
{
    static QPointer<CurlSession> instance;
    if (!instance)
        instance = new CurlSession(QCoreApplication::instance());
    return *instance;
}

CurlSession::CurlSession(QObject *parent)
    : QObject(parent)
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    m_multi = curl_multi_init();
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETFUNCTION, &CurlSession::onCurlSocket);
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERFUNCTION, &CurlSession::onCurlTimer);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERDATA, this);
    curl_multi_setopt(m_multi, CURLMOPT_MAXCONNECTS, maxConnections);

    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] { drive(CURL_SOCKET_TIMEOUT, 0); });
    m_stallTimer.setSingleShot(true);
    connect(&m_stallTimer, &QTimer::timeout, this, &CurlSession::endStalled);
}

CurlSession::~CurlSession()
{
    // The application is ending. A request still registered belongs to an owner that is gone:
    // its stop was queued for a pass of the event loop that never comes. It ends here as
    // cancelled, so its coroutine finds its stop, unwinds and frees its frame instead of staying
    // suspended for good; anything it starts now fails at once.
    m_closing = true;
    while (!m_transfers.isEmpty())
        endEarly(**m_transfers.begin(), true, CURLE_OK);
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETFUNCTION, nullptr);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERFUNCTION, nullptr);
    for (const SocketWatch &watch : std::as_const(m_sockets)) {
        watch.read->setEnabled(false);
        watch.write->setEnabled(false);
    }
    curl_multi_cleanup(m_multi);
}

void CurlSession::start(Transfer &transfer)
{
    if (m_closing) {
        transfer.cancelled = true;
        transfer.done = true;
        return;
    }
    CURL *easy = curl_easy_init();
    if (!easy) {
        transfer.code = CURLE_OUT_OF_MEMORY;
        transfer.done = true;
        return;
    }
    transfer.easy = easy;
    transfer.headers = curl_slist_append(nullptr, "Content-Type: application/json");
    // An empty Expect header: curl would otherwise wait for "100 Continue" before large bodies.
    transfer.headers = curl_slist_append(transfer.headers, "Expect:");
    for (const QByteArray &line : std::as_const(transfer.headerLines))
        transfer.headers = curl_slist_append(transfer.headers, line.constData());

    curl_easy_setopt(easy, CURLOPT_URL, transfer.url.constData());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, transfer.body.constData());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(transfer.body.size()));
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.headers);
    // Redirects keep curl's default CURLOPT_POSTREDIR: a POST becomes a GET on 301, 302 and
    // 303 and stays a POST on 307 and 308, as common HTTP stacks do.
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, transfer.headerLines.isEmpty() ? 1L : 0L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, maxRedirects);
    // No bound on the whole exchange: a large answer over a slow link may take longer than
    // the stall timeout and still be fine. Connecting has its own bound, and endStalled()
    // bounds every stretch without progress.
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(transfer.stallTimeout.count()));
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &CurlSession::onCurlProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    // The host's own switchboard is on loopback: a proxy from the environment must never see
    // (or break) those requests.
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "localhost,127.0.0.1,::1");
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CurlSession::onCurlWrite);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);

    transfer.id = m_nextId++;
    transfer.lastProgress = std::chrono::steady_clock::now();
    m_transfers.insert(transfer.id, &transfer);
    if (curl_multi_add_handle(m_multi, easy) != CURLM_OK) {
        m_transfers.remove(transfer.id);
        transfer.id = 0;
        release(transfer);
        transfer.code = CURLE_FAILED_INIT;
        transfer.done = true;
        return;
    }
    watchStall(transfer.stallTimeout);
}

void CurlSession::requestCancel(quint64 id)
{
    QMetaObject::invokeMethod(this, [this, id] { cancel(id); }, Qt::QueuedConnection);
}

void CurlSession::cancel(quint64 id)
{
    Transfer *transfer = m_transfers.value(id);
    if (!transfer || transfer->done)
        return;
    endEarly(*transfer, true, CURLE_OK);
}

void CurlSession::endEarly(Transfer &transfer, bool cancelled, CURLcode code)
{
    m_transfers.remove(transfer.id);
    transfer.id = 0;
    curl_multi_remove_handle(m_multi, transfer.easy);
    release(transfer);
    transfer.cancelled = cancelled;
    transfer.code = code;
    transfer.done = true;
    if (transfer.waiter)
        transfer.waiter.resume();
}

void CurlSession::watchStall(std::chrono::milliseconds within)
{
    // Never later than the transfer just started could stall; endStalled() sets it again.
    const auto wait = std::max(within, std::chrono::milliseconds(1));
    if (!m_stallTimer.isActive() || std::chrono::milliseconds(m_stallTimer.remainingTime()) > wait)
        m_stallTimer.start(wait);
}

void CurlSession::endStalled()
{
    const auto now = std::chrono::steady_clock::now();
    QList<quint64> stalled;
    auto next = std::chrono::milliseconds::max();
    for (const Transfer *transfer : std::as_const(m_transfers)) {
        const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(now - transfer->lastProgress);
        if (idle >= transfer->stallTimeout)
            stalled.append(transfer->id);
        else
            next = std::min(next, transfer->stallTimeout - idle);
    }
    if (next != std::chrono::milliseconds::max())
        watchStall(next);
    // Resumed waiters may start or end other transfers: each is looked up again.
    for (quint64 id : std::as_const(stalled)) {
        if (Transfer *transfer = m_transfers.value(id); transfer && !transfer->done)
            endEarly(*transfer, false, CURLE_OPERATION_TIMEDOUT);
    }
}

void CurlSession::forget(Transfer &transfer)
{
    m_transfers.remove(transfer.id);
    transfer.id = 0;
    if (transfer.easy)
        curl_multi_remove_handle(m_multi, transfer.easy);
}

void CurlSession::release(Transfer &transfer)
{
    if (transfer.easy)
        curl_easy_cleanup(transfer.easy);
    transfer.easy = nullptr;
    curl_slist_free_all(transfer.headers);
    transfer.headers = nullptr;
}

int CurlSession::onCurlSocket(CURL *, curl_socket_t socket, int what, void *self, void *)
{
    static_cast<CurlSession *>(self)->watchSocket(socket, what);
    return 0;
}

int CurlSession::onCurlTimer(CURLM *, long timeoutMs, void *self)
{
    // Never calls into curl from here: the timer fires from the event loop. 0 means "as soon
    // as possible", which a zero-interval single shot gives on the next loop pass.
    QTimer &timer = static_cast<CurlSession *>(self)->m_timer;
    if (timeoutMs < 0)
        timer.stop();
    else
        timer.start(static_cast<int>(std::min<long>(timeoutMs, std::numeric_limits<int>::max())));
    return 0;
}

size_t CurlSession::onCurlWrite(char *data, size_t size, size_t count, void *context)
{
    auto *transfer = static_cast<Transfer *>(context);
    const size_t bytes = size * count;
    if (transfer->answer.size() + static_cast<qsizetype>(bytes) > maxAnswerBytes) {
        transfer->answerTooLarge = true;
        return 0; // curl ends the transfer with CURLE_WRITE_ERROR
    }
    transfer->answer.append(data, static_cast<qsizetype>(bytes));
    return bytes;
}

int CurlSession::onCurlProgress(void *context, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded)
{
    auto *transfer = static_cast<Transfer *>(context);
    const curl_off_t bytes = downloaded + uploaded;
    if (bytes != transfer->progressBytes) {
        transfer->progressBytes = bytes;
        transfer->lastProgress = std::chrono::steady_clock::now();
    }
    return 0;
}

void CurlSession::watchSocket(curl_socket_t socket, int what)
{
    if (what == CURL_POLL_REMOVE) {
        // curl closes the descriptor right after this returns: silence the notifiers first.
        const SocketWatch watch = m_sockets.take(socket);
        for (QSocketNotifier *notifier : {watch.read, watch.write}) {
            if (notifier) {
                notifier->setEnabled(false);
                notifier->deleteLater();
            }
        }
        return;
    }
    SocketWatch &watch = m_sockets[socket];
    if (!watch.read) {
        watch.read = new QSocketNotifier(socket, QSocketNotifier::Read, this);
        watch.write = new QSocketNotifier(socket, QSocketNotifier::Write, this);
        watch.read->setEnabled(false);
        watch.write->setEnabled(false);
        connect(watch.read, &QSocketNotifier::activated, this,
                [this, socket] { drive(socket, CURL_CSELECT_IN); });
        connect(watch.write, &QSocketNotifier::activated, this,
                [this, socket] { drive(socket, CURL_CSELECT_OUT); });
    }
    watch.read->setEnabled(what == CURL_POLL_IN || what == CURL_POLL_INOUT);
    // Only while curl has something to send: a writable socket is nearly always writable.
    watch.write->setEnabled(what == CURL_POLL_OUT || what == CURL_POLL_INOUT);
}

void CurlSession::drive(curl_socket_t socket, int events)
{
    int running = 0;
    curl_multi_socket_action(m_multi, socket, events, &running);
    finishCompleted();
}

void CurlSession::finishCompleted()
{
    // First record every ended transfer while curl's bookkeeping is still consistent.
    QList<quint64> ended;
    int queued = 0;
    while (CURLMsg *message = curl_multi_info_read(m_multi, &queued)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        Transfer *transfer = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
        if (!transfer)
            continue;
        transfer->code = message->data.result;
        curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &transfer->status);
        curl_multi_remove_handle(m_multi, transfer->easy);
        release(*transfer);
        transfer->done = true;
        ended.append(transfer->id);
    }
    // Resume the waiting coroutines only now; one may start new requests or end others.
    for (quint64 id : std::as_const(ended)) {
        Transfer *transfer = m_transfers.take(id);
        if (!transfer)
            continue;
        transfer->id = 0;
        if (transfer->waiter)
            transfer->waiter.resume();
    }
}
