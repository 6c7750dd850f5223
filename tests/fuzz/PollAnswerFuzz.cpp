// A poll answer as anyone who reaches the switchboard may shape it, through frame decoding into
// both receivers: the host session's handling of viewer messages, injected into a recording
// desktop, and the viewer session's handling of the hello and its pictures. Besides crashes and
// undefined behaviour it checks that no picture beyond the bound of the hello before it is shown.
#include "FuzzCheck.h"

#include "HostSession.h"
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
    void remember(const QString &, const QString &) override { FUZZ_CHECK(false); }
    void setFrame(const QImage &frame, const QRegion &changed) override
    {
        FUZZ_CHECK(!frame.isNull());
        FUZZ_CHECK(JpegDecoder::fits(frame.size(), bound));
        FUZZ_CHECK(!changed.isEmpty() && QRect(QPoint(), frame.size()).contains(changed.boundingRect()));
    }
    void setRemoteSize(const QSizeF &size) override { bound = PictureBound::forHello(size.width(), size.height()); }

    QSize bound = PictureBound::beforeHello();
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // The transport reads anything but a JSON object as an empty answer.
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size)));
    if (!document.isObject())
        return 0;
    const QJsonObject answer = document.object();

    // The host, on a display that does not start at the origin.
    RecordingDesktop desktop;
    desktop.trusted = false;
    MacInput::setLeftDown(false);
    HostSession::Options hostOptions;
    hostOptions.desktop = &desktop;
    HostSession host(std::move(hostOptions));
    const DisplayGeometry geometry{1512, 982, -1512, 40};
    for (const SessionProtocol::ViewerMessage &message : SessionProtocol::decodeViewerMessages(answer)) {
        host.handle(message, geometry);
        if (host.closed())
            break;
    }

    // The viewer, never live: it answers nothing, so it needs no transport.
    CheckingListener listener;
    ViewerSession::Options viewerOptions;
    viewerOptions.listener = &listener;
    ViewerSession viewer(std::move(viewerOptions));
    viewer.applyPollAnswer(answer, std::stop_token());
    return 0;
}
