#pragma once

// A stand-in for the desktop portal's remote-desktop service (org.freedesktop.portal.Desktop
// with RemoteDesktop, ScreenCast, Request and Session), on a connection of its own to the test's
// session bus. It answers as the documented interface does: each request returns its handle
// and then answers with a Response signal on it. What the person at the machine says to Start is
// the test's to choose; the stream it hands out is a real PipeWire node of the test's.

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QList>
#include <QRect>
#include <QString>
#include <QVariantMap>

#include <cstdint>

class WaylandPortalDouble : public QDBusVirtualObject
{
    Q_OBJECT

public:
    enum class Answer { Granted, Refused, Never };

    struct Call
    {
        QString member;
        QList<QVariant> arguments;
    };

    WaylandPortalDouble();
    ~WaylandPortalDouble() override;

    // False when the name could not be taken.
    bool registered() const;

    // RemoteDesktop's "version" property: 2 and later can keep a permission.
    std::uint32_t version = 2;
    Answer answer = Answer::Granted;
    // The stream Start hands out.
    std::uint32_t nodeId = 0;
    QRect area;

    // Every method call received, in order.
    const QList<Call> &calls() const;
    QList<Call> callsOf(const QString &member) const;
    // The options SelectDevices was given last.
    QVariantMap lastDeviceOptions() const;
    // The session handle handed out last.
    QString sessionPath() const;

    // What the desktop does when the person stops sharing.
    void closeSession();

    QString introspect(const QString &path) const override;
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override;

private:
    void respond(const QDBusMessage &message, const QVariantMap &options, std::uint32_t code,
                 const QVariantMap &results);

    QDBusConnection m_bus;
    bool m_registered = false;
    QList<Call> m_calls;
    QString m_sessionPath;
    int m_tokens = 0;
};
