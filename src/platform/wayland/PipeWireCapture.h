#pragma once

#include "ScreenImage.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

class QSocketNotifier;

// Frames of one PipeWire video stream (a screen cast) as ScreenImages, on the main thread:
// PipeWire's loop is run by Qt's event loop, and by latestFrame() itself, so that a caller
// that holds the thread still gets the newest frame.
//
// Frames come in shared memory. B, G, R, X pixels (and B, G, R, A, whose alpha is ignored) are
// handed out in place: the buffer is kept from the producer for as long as an image of it is
// held, so a held image never changes, and its mapping outlives the stream. Other layouts, and
// buffers that are not shared memory, are copied once into the BGRX layout.
class PipeWireCapture : public QObject
{
    Q_OBJECT

public:
    explicit PipeWireCapture(QObject *parent = nullptr);
    ~PipeWireCapture() override;
    PipeWireCapture(const PipeWireCapture &) = delete;
    PipeWireCapture &operator=(const PipeWireCapture &) = delete;

    // Connects to the node `nodeId` through `remoteFd`, a connection to the PipeWire daemon that
    // is taken over (-1: the user's own daemon). Any earlier stream is disconnected first.
    // False, with the reason in failure(), when the daemon cannot be reached.
    bool connectTo(std::uint32_t nodeId, int remoteFd);
    void disconnect();
    bool connected() const;
    const QString &failure() const;

    // The newest complete frame; none before the first one arrived.
    std::optional<ScreenImage> latestFrame();
    // Frames received since connectTo.
    std::uint64_t framesReceived() const;

signals:
    // The stream broke off (the node went away, the daemon closed the connection). The capture
    // is disconnected by then; images already handed out stay valid.
    void failed(const QString &reason);

private:
    struct Connection;

    void dispatch();
    void reportFailure(const QString &reason);

    std::shared_ptr<Connection> m_connection;
    std::unique_ptr<QSocketNotifier> m_notifier;
    // Tells a failure reported late apart from the stream connected since.
    std::uint64_t m_generation = 0;
    bool m_dispatching = false;
    QString m_failure;
};
