#include "KivrenApp.h"

#include "CloudAddressKeeper.h"
#include "KivrenClient.h"
#include "MacRootView.h"
#include "SettingsStore.h"

KivrenApp::KivrenApp(SettingsStore &settings, std::optional<QString> computerName,
                     MacHostService::Options hostOptions, QObject *parent)
    : QObject(parent)
{
    if (!hostOptions.settings)
        hostOptions.settings = &settings;
    if (!hostOptions.computerName)
        hostOptions.computerName = computerName;
    m_host = std::make_unique<MacHostService>(std::move(hostOptions));
    m_client = std::make_unique<KivrenClient>(settings, computerName);
    m_cloudAddress = std::make_unique<CloudAddressKeeper>(*m_host, *m_client);
    // The platform's own title bar and frame stay: without them the window could not be moved.
    m_window = std::make_unique<MacRootView>(*m_host, *m_client);
}

KivrenApp::~KivrenApp()
{
    m_window.reset();
    m_cloudAddress.reset();
    m_client.reset();
    m_host.reset();
}

void KivrenApp::show()
{
    m_window->show();
}
