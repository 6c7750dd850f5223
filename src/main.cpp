#include "ComputerName.h"
#include "DesktopBackend.h"
#include "KivrenApp.h"
#include "KivrenTheme.h"
#include "SettingsStore.h"
#include "WaylandDesktopBackend.h"
#include "X11DesktopBackend.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("KivrenRemote"));
    QApplication::setApplicationName(QStringLiteral("KivrenRemote"));
    QApplication::setPalette(KivrenTheme::palette());
    QApplication::setFont(KivrenTheme::applicationFont());

    SettingsStore settings;

    // In a Wayland session an X client sees only XWayland's windows, so capture and input go
    // through the desktop's remote-desktop service; elsewhere through the X display. Without
    // either the host shares no pictures.
    std::unique_ptr<DesktopBackend> desktop;
    if (WaylandDesktopBackend::isWaylandSession()) {
        WaylandDesktopBackend::Options options;
        options.settings = &settings;
        desktop = std::make_unique<WaylandDesktopBackend>(options);
    } else {
        desktop = X11DesktopBackend::open();
    }
    DesktopBackend::install(desktop.get());

    const std::optional<QString> name = ComputerName::current();
    MacHostService::Options hostOptions;
    hostOptions.settings = &settings;
    hostOptions.desktop = desktop.get();
    hostOptions.computerName = name;

    KivrenApp kivren(settings, name, std::move(hostOptions));
    kivren.show();
    const int result = app.exec();
    DesktopBackend::install(nullptr);
    return result;
}
