#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTimer>

#include <curl/curl.h>

#include <chrono>
#include <coroutine>

class QSocketNotifier;

// The process-wide HTTP session: one libcurl multi handle driven by the Qt event loop through
// curl's multi-socket interface, so connections (and their TLS handshakes) are kept alive and
// reused by every KivrenAPI. Main thread only, except requestCancel().
class CurlSession : public QObject
{
    Q_OBJECT
public:
    // One POST. It lives in the requesting coroutine's frame; the session only points at it
    // while it runs, and forgets it when the frame goes away.
    struct Transfer
    {
        // What to send.
        QByteArray url;
        QByteArray body;
        // Bounds connecting, and then any stretch in which not one byte goes either way: an
        // answer still arriving, however slowly, is never cut.
        std::chrono::milliseconds stallTimeout{0};
        // "Name: value" lines sent besides the fixed ones; a transfer with any of them stays
        // with its URL (no redirects).
        QList<QByteArray> headerLines;

        // The outcome, written once when the transfer ends.
        bool done = false;
        bool cancelled = false;
        bool answerTooLarge = false;
        CURLcode code = CURLE_OK;
        long status = 0;
        QByteArray answer;

        // Bookkeeping of the session.
        quint64 id = 0;
        CURL *easy = nullptr;
        curl_slist *headers = nullptr;
        std::coroutine_handle<> waiter;
        // Bytes sent and received so far, and when that count last grew.
        curl_off_t progressBytes = 0;
        std::chrono::steady_clock::time_point lastProgress;

        Transfer() = default;
        Transfer(const Transfer &) = delete;
        Transfer &operator=(const Transfer &) = delete;
        ~Transfer();
    };

    // co_await Completion{&transfer}: suspends until the transfer has ended. Owns nothing.
    struct Completion
    {
        Transfer *transfer;
        bool await_ready() const noexcept { return transfer->done; }
        void await_suspend(std::coroutine_handle<> waiter) const noexcept { transfer->waiter = waiter; }
        void await_resume() const noexcept {}
    };

    // Answers larger than this end the transfer: nothing the switchboard sends comes close, and
    // an endless answer must not exhaust memory.
    static constexpr qsizetype maxAnswerBytes = 64 * 1024 * 1024;

    static CurlSession &shared();

    // Request bodies reuse the memory of earlier ones: touching fresh pages for every 200 KB
    // picture cost more than sending it. Main thread only.
    static QByteArray takeBuffer();
    static void recycle(QByteArray &&buffer);

    // Hands the transfer to curl. On failure, and once the application is ending, the transfer
    // is done at once.
    void start(Transfer &transfer);
    // Safe from any thread, also from a destructor: only queues the cancel onto the session's
    // thread, so no coroutine is ever resumed from inside the caller.
    void requestCancel(quint64 id);

private:
    explicit CurlSession(QObject *parent);
    ~CurlSession() override;

    struct SocketWatch
    {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
    };

    static int onCurlSocket(CURL *easy, curl_socket_t socket, int what, void *self, void *socketData);
    static int onCurlTimer(CURLM *multi, long timeoutMs, void *self);
    static size_t onCurlWrite(char *data, size_t size, size_t count, void *transfer);
    static int onCurlProgress(void *transfer, curl_off_t downloadTotal, curl_off_t downloaded,
                              curl_off_t uploadTotal, curl_off_t uploaded);

    void watchSocket(curl_socket_t socket, int what);
    void drive(curl_socket_t socket, int events);
    void finishCompleted();
    void cancel(quint64 id);
    // Ends every transfer that made no progress for its stall timeout, and sets the watch for
    // the next one that could.
    void endStalled();
    void watchStall(std::chrono::milliseconds within);
    // Ends a registered transfer that curl has not finished, resuming its waiter.
    void endEarly(Transfer &transfer, bool cancelled, CURLcode code);
    void forget(Transfer &transfer);
    static void release(Transfer &transfer);

    CURLM *m_multi = nullptr;
    QTimer m_timer;
    QTimer m_stallTimer;
    QHash<curl_socket_t, SocketWatch> m_sockets;
    QHash<quint64, Transfer *> m_transfers;
    quint64 m_nextId = 1;
    bool m_closing = false;
};
