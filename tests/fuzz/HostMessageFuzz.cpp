// One viewer message, as the host reads it from a json frame, through input mapping into a
// recording desktop, on a display at the origin and on one left of and below it.
#include "FuzzCheck.h"

#include "DisplayGeometry.h"
#include "HostSession.h"
#include "MacInput.h"
#include "RecordingDesktop.h"
#include "SessionProtocol.h"

#include <QJsonDocument>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // One message is one action: anything near this is a finding.
    const FuzzTimeLimit limit("one viewer message", 1000);
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size)));
    if (!document.isObject())
        return 0;
    const std::optional<SessionProtocol::ViewerMessage> message = SessionProtocol::decodeViewerMessage(document.object());
    if (!message)
        return 0;

    for (const DisplayGeometry &geometry : {DisplayGeometry{1280, 800, 0, 0}, DisplayGeometry{2560, 1440, -2560, 1080}}) {
        RecordingDesktop desktop;
        MacInput::setLeftDown(false);
        HostSession::inject(&desktop, *message, geometry);
        // A message is at most one pointer action (a press moves the pointer first), one key or
        // one piece of text.
        FUZZ_CHECK(desktop.calls.size() <= 4);
    }
    return 0;
}
