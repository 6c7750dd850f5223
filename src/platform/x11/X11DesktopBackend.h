#pragma once

#include "DesktopBackend.h"

#include <QString>

#include <memory>

// The desktop of an X server: the main display is captured with MIT-SHM (plain GetImage where
// the server refuses shared memory) and input is injected with XTest. Main thread only.
//
// Captured images: a ScreenImage's pixels belong to its `owner`. The shared-memory segment is
// reused from one capture to the next only while nobody holds the previous image; when one is
// still held, the next capture goes into a fresh segment, so a held image never changes.
class X11DesktopBackend final : public DesktopBackend
{
public:
    struct Options
    {
        // Off forces the GetImage path (also taken by itself when the server refuses MIT-SHM).
        bool sharedMemory = true;
    };

    // Null when the display cannot be opened. An empty name means $DISPLAY.
    static std::unique_ptr<X11DesktopBackend> open(const QString &displayName = {});
    static std::unique_ptr<X11DesktopBackend> open(const QString &displayName, Options options);

    ~X11DesktopBackend() override;
    X11DesktopBackend(const X11DesktopBackend &) = delete;
    X11DesktopBackend &operator=(const X11DesktopBackend &) = delete;

    std::optional<ScreenImage> captureMainDisplay() override;
    QRectF mainDisplayBounds() override;

    void warpPointer(QPointF point) override;
    void postMouse(MouseEvent type, QPointF point, std::int64_t clickState) override;
    void postScroll(QPointF point, std::int32_t deltaY) override;
    void postKey(SpecialKey key, bool down) override;
    void typeText(const QString &text) override;

    // X has no permission step for synthetic input: always trusted, nothing to prompt.
    bool isTrusted() override;
    void promptForTrust() override;

    // False once captures have fallen back to GetImage.
    bool usesSharedMemory() const;

private:
    struct State;
    explicit X11DesktopBackend(std::unique_ptr<State> state);

    std::unique_ptr<State> d;
};
