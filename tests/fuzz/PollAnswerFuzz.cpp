// A poll answer as anyone who reaches the switchboard may shape it, through frame decoding into
// both receivers: the host's input queue, pass by pass as the session loop drives it, injected
// into a recording desktop, and the viewer session's handling of the hello and its pictures.
// Besides crashes and undefined behaviour it checks that no picture beyond the bound of the
// hello before it is shown, that no pass types more than its share of characters, and that no
// answer keeps either side busy for long (FuzzTimeLimit): a hostile peer must not be able to
// buy seconds of work with one answer.
#include "FuzzCheck.h"

#include "HostInputQueue.h"
#include "JpegDecoder.h"
#include "MacInput.h"
#include "PictureBound.h"
#include "RecordingDesktop.h"
#include "SessionProtocol.h"
#include "ViewerSession.h"

#include <QJsonDocument>

#include <cstddef>
#include <cstdint>

namespace {

// Above what any answer costs within the bounds (two whole 8K pictures decoded: about 1.2 s of
// CPU here, a pass of text: milliseconds), below what ten 8K decodes cost (about 6 s).
constexpr double answerLimitMs = 5000;

class CheckingListener final : public ViewerSession::Listener
{
public:
    QString cloudURL() const override { return {}; }
    Transport transport() const override { return Transport::relay; }
    void setPhase(SessionPhase) override { FUZZ_CHECK(false); } // an answer never changes the phase
    void setStatus(const QString &) override { FUZZ_CHECK(false); }
    void setError(const std::optional<QString> &) override { FUZZ_CHECK(false); }
    void setHostName(const QString &) override { FUZZ_CHECK(false); }
    void setTransport(Transport) override { FUZZ_CHECK(false); }
    void remember(const QString &, const QString &, const QString &) override { FUZZ_CHECK(false); }
    void setFrame(const QImage &frame, const QRegion &changed) override
    {
        FUZZ_CHECK(!frame.isNull());
        FUZZ_CHECK(JpegDecoder::fits(frame.size(), bound));
        FUZZ_CHECK(!changed.isEmpty() && QRect(QPoint(), frame.size()).contains(changed.boundingRect()));
    }
    void setRemoteSize(const QSizeF &size) override { bound = PictureBound::forHello(size.width(), size.height()); }
    void setPictureStale(bool) override {}

    QSize bound = PictureBound::beforeHello();
};

// Characters typed by the calls recorded from `first` on (a line end's "\r\n" may finish a
// pass's share with one more).
qsizetype charactersTyped(const QStringList &calls, qsizetype first)
{
    qsizetype typed = 0;
    for (qsizetype i = first; i < calls.size(); ++i) {
        if (calls[i].startsWith(QStringLiteral("text ")))
            typed += calls[i].mid(5).toUcs4().size();
    }
    return typed;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const FuzzTimeLimit limit("one poll answer", answerLimitMs);
    // The transport reads anything but a JSON object as an empty answer.
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size)));
    if (!document.isObject())
        return 0;
    const QJsonObject answer = document.object();

    // The host, on a display that does not start at the origin: the messages up to a close, then
    // passes until nothing waits, then the session's end.
    RecordingDesktop desktop;
    MacInput::setLeftDown(false);
    const DisplayGeometry geometry{1512, 982, -1512, 40};
    HostInputQueue input;
    const QList<SessionProtocol::ViewerMessage> messages = SessionProtocol::decodeViewerMessages(answer);
    for (const SessionProtocol::ViewerMessage &message : messages) {
        if (std::holds_alternative<SessionProtocol::Close>(message))
            break;
        input.append(message);
    }
    for (qsizetype pass = 0; !input.isEmpty(); ++pass) {
        FUZZ_CHECK(pass <= messages.size() + HostInputQueue::maxPendingCharacters);
        const qsizetype before = desktop.calls.size();
        input.applyPass(desktop, geometry);
        FUZZ_CHECK(charactersTyped(desktop.calls, before) <= HostInputQueue::charactersPerPass + 1);
    }
    input.releaseHeld(desktop);
    FUZZ_CHECK(!MacInput::leftDown());

    // The viewer, never live: it answers nothing, so it needs no transport.
    CheckingListener listener;
    ViewerSession::Options viewerOptions;
    viewerOptions.listener = &listener;
    ViewerSession viewer(std::move(viewerOptions));
    viewer.applyPollAnswer(answer, std::stop_token());
    return 0;
}
