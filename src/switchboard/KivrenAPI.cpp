#include "KivrenAPI.h"

#include "CurlSession.h"

#include <QJsonDocument>
#include <QUrl>

#include <algorithm>
#include <stop_token>

namespace {

const QString pathPrefix = QStringLiteral("/v1/");
const QString unsupportedUrlDescription = QStringLiteral("unsupported URL");
const QString notHttpDescription =
    QStringLiteral("The server did not answer in HTTP. Check that the cloud address is a switchboard's.");

// A JSON body as compact text, in a buffer that may keep an earlier body's capacity.
QByteArray compactBody(const QJsonObject &body)
{
    QByteArray bytes = KivrenAPI::bodyBuffer();
    bytes += QJsonDocument(body).toJson(QJsonDocument::Compact);
    return bytes;
}

bool isHttpUrl(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == u"http" || scheme == u"https") && !url.host().isEmpty();
}

KivrenError transportError(const CurlSession::Transfer &transfer)
{
    using E = KivrenError;
    if (transfer.answerTooLarge)
        return E::url(E::dataLengthExceedsMaximum, QStringLiteral("The server's answer is too large."));
    switch (transfer.code) {
    case CURLE_OPERATION_TIMEDOUT:
        return E::url(E::timedOut, QStringLiteral("The request timed out."));
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return E::url(E::cannotFindHost, QStringLiteral("A server with that host name could not be found."));
    case CURLE_COULDNT_CONNECT:
        return E::url(E::cannotConnectToHost, QStringLiteral("Could not connect to the server."));
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
        return E::url(E::networkConnectionLost, QStringLiteral("The network connection was lost."));
    case CURLE_TOO_MANY_REDIRECTS:
        return E::url(E::tooManyRedirects, QStringLiteral("There were too many redirects."));
    case CURLE_UNSUPPORTED_PROTOCOL:
        // Our own URL was checked before sending, so this comes from the answer: either no HTTP
        // at all (an address that points at some other service, an ssh port sending its
        // banner), or a redirect to an address that is not http(s).
        if (transfer.status == 0)
            return E::url(E::badServerResponse, notHttpDescription);
        return E::url(E::badURL, unsupportedUrlDescription);
    case CURLE_URL_MALFORMAT:
        return E::url(E::badURL, unsupportedUrlDescription);
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
        return E::url(E::badServerResponse, QStringLiteral("The server's answer could not be read."));
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
        return E::url(E::serverCertificateUntrusted, QStringLiteral("The certificate for this server is invalid."));
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
        return E::url(E::secureConnectionFailed,
                      QStringLiteral("A secure connection to the server could not be made."));
    default:
        return E::url(E::unknown, QStringLiteral("The request failed: %1.")
                                      .arg(QString::fromUtf8(curl_easy_strerror(transfer.code))));
    }
}

// The answer of an ended transfer as an object or an error. An answer that is not a JSON object
// reads as an empty one: only the status says whether the request failed.
KivrenAnswer answerOf(const CurlSession::Transfer &transfer)
{
    if (transfer.cancelled)
        return KivrenAnswer::failure(KivrenError::url(KivrenError::cancelled, QStringLiteral("cancelled")));
    if (transfer.code != CURLE_OK)
        return KivrenAnswer::failure(transportError(transfer));
    if (transfer.status < 100)
        return KivrenAnswer::failure(KivrenError::url(KivrenError::badServerResponse,
                                                      QStringLiteral("The server's answer could not be read.")));

    const QJsonDocument document = QJsonDocument::fromJson(transfer.answer);
    const QJsonObject object = document.isObject() ? document.object() : QJsonObject{};
    if (transfer.status < 400)
        return KivrenAnswer::success(object);

    const int status = static_cast<int>(transfer.status);
    const QJsonValue error = object.value(QStringLiteral("error"));
    return KivrenAnswer::failure(KivrenError::kivren(
        status, error.isString() ? error.toString() : QStringLiteral("HTTP %1").arg(status)));
}

} // namespace

KivrenAPI::KivrenAPI(const QString &base, QObject *parent)
    : QObject(parent)
    , m_base(trimmedBase(base))
{
}

// Requests in flight belong to the process-wide session and their own coroutines, not to us.
KivrenAPI::~KivrenAPI() = default;

QString KivrenAPI::base() const
{
    return m_base;
}

void KivrenAPI::setBase(const QString &base)
{
    m_base = trimmedBase(base);
}

void KivrenAPI::setTimeout(std::chrono::milliseconds timeout)
{
    m_timeout = timeout;
}

void KivrenAPI::setHeader(const QByteArray &name, const QByteArray &value)
{
    m_headers.removeIf([&name](const auto &header) { return header.first.compare(name, Qt::CaseInsensitive) == 0; });
    m_headers.append({name, value});
}

QString KivrenAPI::trimmedBase(const QString &text)
{
    qsizetype first = 0;
    qsizetype end = text.size();
    while (first < end && text[first] == u'/')
        ++first;
    while (end > first && text[end - 1] == u'/')
        --end;
    return text.mid(first, end - first);
}

QByteArray KivrenAPI::bodyBuffer()
{
    return CurlSession::takeBuffer();
}

QCoro::Task<KivrenAnswer> KivrenAPI::post(QString path, QJsonObject body, std::stop_token stop)
{
    return postBytes(std::move(path), compactBody(body), std::move(stop));
}

QCoro::Task<KivrenAnswer> KivrenAPI::postHeld(QString path, QJsonObject body, std::chrono::milliseconds hold,
                                              std::stop_token stop)
{
    return send(std::move(path), compactBody(body), std::max(m_timeout, hold + heldMargin), std::move(stop));
}

QCoro::Task<KivrenAnswer> KivrenAPI::postBytesHeld(QString path, QByteArray body, std::chrono::milliseconds hold,
                                                   std::stop_token stop)
{
    return send(std::move(path), std::move(body), std::max(m_timeout, hold + heldMargin), std::move(stop));
}

QCoro::Task<KivrenAnswer> KivrenAPI::postBytes(QString path, QByteArray body, std::stop_token stop)
{
    return send(std::move(path), std::move(body), m_timeout, std::move(stop));
}

QCoro::Task<KivrenAnswer> KivrenAPI::send(QString path, QByteArray body, std::chrono::milliseconds stallTimeout,
                                          std::stop_token stop)
{
    // `this` may be gone once the transfer has suspended us: everything needed afterwards is
    // read into locals here, the base as it is now among them. Anything but an absolute
    // http(s) URL sends nothing.
    const QUrl url(m_base + pathPrefix + path, QUrl::StrictMode);
    if (!isHttpUrl(url))
        co_return KivrenAnswer::failure(KivrenError::url(KivrenError::badURL, unsupportedUrlDescription));
    if (stop.stop_requested())
        co_return KivrenAnswer::failure(KivrenError::url(KivrenError::cancelled, QStringLiteral("cancelled")));

    CurlSession::Transfer transfer;
    transfer.url = url.toEncoded();
    transfer.body = std::move(body);
    transfer.stallTimeout = stallTimeout;
    for (const auto &[name, value] : m_headers)
        transfer.headerLines.append(name + ": " + value);

    // Sent through the shared session; a stop only queues the cancel, so no coroutine is resumed
    // from inside whoever requested it.
    CurlSession &session = CurlSession::shared();
    session.start(transfer);
    {
        const std::stop_callback onStop(stop, [&session, id = transfer.id] {
            if (id != 0)
                session.requestCancel(id);
        });
        co_await CurlSession::Completion{&transfer};
    }

    co_return answerOf(transfer);
}
