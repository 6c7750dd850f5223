// Stands in for systemd's org.freedesktop.locale1 on a private bus, so that a headless mutter
// started against that bus takes the keyboard layout given here as the machine's own.
//   locale_service_double <xkb layout>
// Prints "ready" once the name is owned; runs until killed.
#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusError>

#include <cstdio>

namespace {

class Locale : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.locale1")
    Q_PROPERTY(QString X11Layout READ layout)
    Q_PROPERTY(QString X11Model READ empty)
    Q_PROPERTY(QString X11Variant READ empty)
    Q_PROPERTY(QString X11Options READ empty)

public:
    Locale(QObject *parent, QString layout)
        : QDBusAbstractAdaptor(parent)
        , m_layout(std::move(layout))
    {}

    QString layout() const { return m_layout; }
    QString empty() const { return {}; }

private:
    QString m_layout;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (app.arguments().size() != 2) {
        std::fprintf(stderr, "usage: locale_service_double <xkb layout>\n");
        return 2;
    }
    QObject root;
    new Locale(&root, app.arguments().at(1));
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.registerObject(QStringLiteral("/org/freedesktop/locale1"), &root)
        || !bus.registerService(QStringLiteral("org.freedesktop.locale1"))) {
        std::fprintf(stderr, "locale_service_double: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}

#include "LocaleServiceDouble.moc"
