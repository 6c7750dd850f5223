#include "KivrenApp.h"

#include "CloudAddressKeeper.h"
#include "CommandLine.h"
#include "KivrenClient.h"
#include "KivrenMark.h"
#include "MacRootView.h"
#include "RunChoices.h"
#include "SettingsStore.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QMenu>
#include <QScreen>
#include <QSystemTrayIcon>

namespace {

constexpr int kTrayIconSize = 64;

// The installed icon (hicolor "kivrenremote"), else the window's own mark.
QIcon appIcon()
{
    KivrenMark mark(kTrayIconSize);
    mark.resize(kTrayIconSize, kTrayIconSize);
    return QIcon::fromTheme(QStringLiteral("kivrenremote"), QIcon(mark.grab()));
}

} // namespace

KivrenApp::KivrenApp(SettingsStore &settings, std::optional<QString> computerName,
                     MacHostService::Options hostOptions, QString autostartFolder, QObject *parent)
    : QObject(parent)
{
    if (!hostOptions.settings)
        hostOptions.settings = &settings;
    if (!hostOptions.computerName)
        hostOptions.computerName = computerName;
    m_host = std::make_unique<MacHostService>(std::move(hostOptions));
    m_client = std::make_unique<KivrenClient>(settings, computerName);
    m_cloudAddress = std::make_unique<CloudAddressKeeper>(*m_host, *m_client);
    m_choices = std::make_unique<RunChoices>(RunChoices::Options{
        &settings, AutostartEntry(std::move(autostartFolder)), QCoreApplication::applicationFilePath(),
        CommandLine::unattendedArguments()});
    // The platform's own title bar and frame stay: without them the window could not be moved.
    m_window = std::make_unique<MacRootView>(*m_host, *m_client);
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        m_window->resize(MacRootView::firstSizeFor(screen->availableGeometry().size()));
    m_window->setRunChoices(m_choices.get(), [] { QCoreApplication::quit(); });
    m_window->installEventFilter(this);

    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        m_tray = std::make_unique<QSystemTrayIcon>(appIcon());
        m_tray->setToolTip(QStringLiteral("KivrenRemote"));
        // Owned by the icon's object tree through this app; the icon keeps only a pointer.
        auto *menu = new QMenu(m_window.get());
        connect(menu->addAction(QStringLiteral("Show KivrenRemote")), &QAction::triggered, this,
                &KivrenApp::showWindow);
        connect(menu->addAction(QStringLiteral("Quit")), &QAction::triggered, qApp, &QCoreApplication::quit);
        m_tray->setContextMenu(menu);
        connect(m_tray.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                showWindow();
        });
        m_tray->show();
        // A hidden window is the last one closed when a tray menu closes: only Quit, or closing
        // the window while the host is not kept, ends the app.
        QApplication::setQuitOnLastWindowClosed(false);
    }
}

KivrenApp::~KivrenApp()
{
    // The viewer of a session learns why it ended while this computer's switchboard still runs.
    m_host->closeSessionBeforeQuit();
    m_tray.reset();
    m_window.reset();
    m_choices.reset();
    m_cloudAddress.reset();
    m_client.reset();
    m_host.reset();
}

void KivrenApp::show(bool minimized)
{
    if (!minimized)
        m_window->show();
    else if (!m_tray)
        m_window->showMinimized();
}

void KivrenApp::showWindow()
{
    m_window->showNormal();
    m_window->raise();
    m_window->activateWindow();
}

void KivrenApp::putWindowAway()
{
    if (m_tray)
        m_window->hide();
    else
        m_window->showMinimized();
}

bool KivrenApp::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_window.get() || event->type() != QEvent::Close)
        return QObject::eventFilter(watched, event);
    if (m_choices->keepsHostingWhenClosed()) {
        event->ignore();
        putWindowAway();
        return true;
    }
    if (m_tray)
        QCoreApplication::quit();
    return false;
}
