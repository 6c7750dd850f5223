// A system tray for the tests, as desktops offer one on D-Bus: the StatusNotifierWatcher says a
// tray host is there and takes the items that register, printing "registered <service>" for
// each. Once it owns its name it runs the command after "--" and ends with it, with its status,
// so `dbus-run-session -- e2e_tray_watcher -- <command>` is a session whose desktop has a tray.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QProcess>

#include <cstdio>

class Watcher : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)

public:
    bool hostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    QStringList items() const { return m_items; }

public slots:
    void RegisterStatusNotifierItem(const QString &service)
    {
        m_items += service;
        std::printf("registered %s\n", qPrintable(service));
        std::fflush(stdout);
        emit StatusNotifierItemRegistered(service);
    }
    void RegisterStatusNotifierHost(const QString &) {}

signals:
    void StatusNotifierItemRegistered(const QString &service);
    void StatusNotifierHostRegistered();

private:
    QStringList m_items;
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList command = app.arguments().mid(1);
    if (command.value(0) != QLatin1String("--") || command.size() < 2) {
        std::fprintf(stderr, "usage: e2e_tray_watcher -- <command> [arguments]\n");
        return 2;
    }
    command.removeFirst();

    Watcher watcher;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals
                                | QDBusConnection::ExportAllProperties)
        || !bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"))) {
        std::fprintf(stderr, "e2e_tray_watcher: no session bus, or the name is taken\n");
        return 1;
    }

    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    QObject::connect(&child, &QProcess::finished, &app, [&](int code, QProcess::ExitStatus status) {
        app.exit(status == QProcess::NormalExit ? code : 1);
    });
    child.start(command.takeFirst(), command);
    if (!child.waitForStarted())
        return 1;
    return app.exec();
}

#include "TrayWatcher.moc"
