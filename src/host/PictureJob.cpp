#include "PictureJob.h"

#include "MacCapture.h"
#include "TileEncoder.h"

using namespace SessionProtocol;

PictureJob::Outcome PictureJob::run(std::stop_token stop) &&
{
    Outcome outcome{std::move(pushed), std::nullopt, false};
    // Drawn over with the same pixels (a caret blinking back, a desktop that cannot tell).
    if (!whole && outcome.pushed.sameAs(screen))
        return outcome;
    const std::optional<ScreenImage> picture = MacCapture::pictureImage(screen, maxWidth);
    if (!picture || stop.stop_requested())
        return outcome;

    // Tiles apply only to the picture the viewer holds: after a hello or a push the switchboard
    // did not take, it may hold another one, so the whole picture goes out.
    if (!whole && tiles) {
        const std::optional<QList<QRect>> areas = outcome.pushed.changedAreas(*picture);
        // Changed only below what scaling keeps: the viewer's picture is the screen's already.
        if (areas && areas->isEmpty()) {
            outcome.pushed.remember(screen, *picture);
            return outcome;
        }
        if (areas) {
            if (std::optional<Tiles> encoded = TileEncoder::encode(*picture, *areas, quality))
                outcome.message = HostMessage{std::move(*encoded)};
        }
    }
    if (!outcome.message && !stop.stop_requested()) {
        if (std::optional<QByteArray> jpeg = MacCapture::encode(*picture, QRect(), quality))
            outcome.message = HostMessage{Picture{std::move(*jpeg)}};
    }
    if (!outcome.message) {
        outcome.failed = true;
        return outcome;
    }
    // As sent: a push that is not taken makes the next one whole anyway.
    outcome.pushed.remember(screen, *picture);
    return outcome;
}
