#include "ComputerName.h"
#include "DesktopBackend.h"
#include "KivrenApp.h"
#include "KivrenTheme.h"
#include "SettingsStore.h"
#include "X11DesktopBackend.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("KivrenRemote"));
    QApplication::setApplicationName(QStringLiteral("KivrenRemote"));
    QApplication::setPalette(KivrenTheme::palette());

    // Capture and input need the X display; without one the host shares no pictures.
    std::unique_ptr<X11DesktopBackend> desktop = X11DesktopBackend::open();
    DesktopBackend::install(desktop.get());

    SettingsStore settings;
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
