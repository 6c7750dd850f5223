#pragma once

#include "AutostartEntry.h"
#include "MacHostService.h"

#include <QObject>

#include <memory>
#include <optional>

class KivrenClient;
class MacRootView;
class QSystemTrayIcon;
class RunChoices;
class SettingsStore;

// The application: the host service and the viewer client for the whole run, and the one
// window showing them. The host is created first (it starts the switchboard, the tunnel and
// registration), then the client (with its saved cloud address and address book).
//
// Where the desktop has a system tray the app puts its icon there (show the window, quit).
// Closing the window quits, unless the person chose to keep hosting (RunChoices): then the
// window goes to the tray, or is minimised where there is none, and the host goes on.
class KivrenApp : public QObject
{
    Q_OBJECT

public:
    // `settings` (also the host's, through `hostOptions.settings` when unset) must outlive the
    // app. "Start when I log in" writes its entry into `autostartFolder`.
    KivrenApp(SettingsStore &settings, std::optional<QString> computerName, MacHostService::Options hostOptions,
              QString autostartFolder = AutostartEntry::userFolder(), QObject *parent = nullptr);
    ~KivrenApp() override;

    MacHostService &host() { return *m_host; }
    KivrenClient &client() { return *m_client; }
    MacRootView &window() { return *m_window; }
    RunChoices &runChoices() { return *m_choices; }
    // None when the desktop has no system tray.
    QSystemTrayIcon *trayIcon() const { return m_tray.get(); }

    // Shows the window; `minimized` keeps it off the person's work: in the tray, or minimised.
    void show(bool minimized = false);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void showWindow();
    void putWindowAway();

    // Declared in the order they are made; the window goes first when the app goes.
    std::unique_ptr<MacHostService> m_host;
    std::unique_ptr<KivrenClient> m_client;
    std::unique_ptr<RunChoices> m_choices;
    std::unique_ptr<MacRootView> m_window;
    std::unique_ptr<QSystemTrayIcon> m_tray;
};
