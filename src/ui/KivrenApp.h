#pragma once

#include "MacHostService.h"

#include <QObject>

#include <memory>
#include <optional>

class CloudAddressKeeper;
class KivrenClient;
class MacRootView;
class SettingsStore;

// The application: the host service and the viewer client for the whole run, the keeper of the
// viewer's cloud address, and the one window showing them. The host is created first (it starts
// the switchboard, the tunnel and registration), then the client (with its saved cloud address
// and address book).
class KivrenApp : public QObject
{
    Q_OBJECT

public:
    // `settings` (also the host's, through `hostOptions.settings` when unset) must outlive the
    // app.
    KivrenApp(SettingsStore &settings, std::optional<QString> computerName,
              MacHostService::Options hostOptions, QObject *parent = nullptr);
    ~KivrenApp() override;

    MacHostService &host() { return *m_host; }
    KivrenClient &client() { return *m_client; }
    MacRootView &window() { return *m_window; }

    void show();

private:
    // Declared in the order they are made; the window goes first when the app goes.
    std::unique_ptr<MacHostService> m_host;
    std::unique_ptr<KivrenClient> m_client;
    std::unique_ptr<CloudAddressKeeper> m_cloudAddress;
    std::unique_ptr<MacRootView> m_window;
};
