#pragma once

#include "DesktopBackend.h"
#include "MacHostService.h"
#include "SettingsStore.h"
#include "StoppableTask.h"

#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <stop_token>

// A desktop that hands out a small picture of one shade, tells whether it may have changed as
// it is told, and records every injected event as text:
// "warp x,y", "mouse <type> x,y c<clickState>", "scroll x,y <delta>", "key <codeName> down|up",
// "text <characters>", "hold <modifiers>".
class FakeDesktop : public DesktopBackend
{
public:
    std::optional<ScreenImage> captureMainDisplay() override;
    bool mainDisplayMayHaveChanged() override { return mayHaveChanged; }
    QRectF mainDisplayBounds() override { return bounds; }
    std::optional<DesktopCursor> cursor() override { return pointer; }
    void warpPointer(QPointF point) override;
    void postMouse(MouseEvent type, QPointF point, std::int64_t clickState) override;
    void postScroll(QPointF point, std::int32_t deltaY) override;
    void postKey(NamedKey key, bool down) override;
    qsizetype typeText(const QString &text) override;
    void holdModifiers(KeyModifiers modifiers) override;
    void requestAccess() override { ++accessRequests; }

    // Moves screen sharing to `state`, as a Wayland desktop reports its way there.
    void drive(State state) { setState(state); }

    QRectF bounds{10, 20, 1512, 982};
    int accessRequests = 0;
    bool hasPicture = true;
    std::uint8_t shade = 0x80;
    bool mayHaveChanged = true;
    int captures = 0;
    QStringList events;
    // None: a desktop that cannot tell where its pointer is.
    std::optional<DesktopCursor> pointer;
};

// A settings file, a fake desktop and a tool-free home in a temporary folder; services built
// here never start node or a tunnel.
class HostServiceBench
{
public:
    HostServiceBench();
    // Runs the event loop a moment so that the tasks of services already gone see their
    // cancellation and finish, instead of staying suspended until the process ends.
    ~HostServiceBench();

    static MacHostService::Timing fastTiming();
    // The registration loop never comes round: only explicit calls reach the switchboard.
    static MacHostService::Timing quietTiming();

    // `key`: the key `base`'s switchboard was started with, which every pass then proves;
    // none: the service trusts `base` as it is.
    std::unique_ptr<MacHostService> make(const QString &base, MacHostService::Timing timing,
                                         std::optional<HostKey> key = std::nullopt);
    SettingsStore &settings() { return *m_settings; }
    FakeDesktop desktop;

    // Runs one of a service's requests to its end, as a pass of its loop would (e.g.
    // `[&](std::stop_token stop) { return service->registration().heartbeat(stop); }`).
    static void runToEnd(const std::function<StoppableTask<>(std::stop_token)> &request);

private:
    QTemporaryDir m_dir;
    std::unique_ptr<SettingsStore> m_settings;
};
