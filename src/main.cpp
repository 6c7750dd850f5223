#include "CommandLine.h"
#include "ComputerName.h"
#include "DesktopBackend.h"
#include "KivrenApp.h"
#include "KivrenTheme.h"
#include "SettingsStore.h"
#include "WaylandDesktopBackend.h"
#include "X11DesktopBackend.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>

namespace {

constexpr int kUsageError = 2;

void print(std::FILE *stream, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

} // namespace

int main(int argc, char *argv[])
{
    // --help and --version answer without a display, so they work over ssh and in scripts; the
    // other mistakes are judged once Qt has taken its own options (-platform, -display, ...).
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments += QString::fromLocal8Bit(argv[i]);
    if (const CommandLine::Parsed early = CommandLine::parse(arguments);
        early.action == CommandLine::Parsed::Action::help || early.action == CommandLine::Parsed::Action::version) {
        QCoreApplication core(argc, argv);
        print(stdout, early.action == CommandLine::Parsed::Action::help ? CommandLine::helpText()
                                                                         : CommandLine::versionText() + u'\n');
        return 0;
    }

    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("KivrenRemote"));
    QApplication::setApplicationName(QStringLiteral("KivrenRemote"));
    // Ties the window to the installed desktop entry, whose icon the desktop then shows.
    QGuiApplication::setDesktopFileName(QStringLiteral("kivrenremote"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("kivrenremote")));
    QApplication::setPalette(KivrenTheme::palette());
    QApplication::setFont(KivrenTheme::applicationFont());

    const CommandLine::Parsed command = CommandLine::parse(QCoreApplication::arguments());
    if (command.action != CommandLine::Parsed::Action::run) {
        print(stderr, QStringLiteral("KivrenRemote: %1\nTry 'KivrenRemote --help'.\n").arg(command.error));
        return kUsageError;
    }

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
    kivren.show(command.options.minimized);
    const int result = app.exec();
    DesktopBackend::install(nullptr);
    return result;
}
