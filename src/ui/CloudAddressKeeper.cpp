#include "CloudAddressKeeper.h"

#include "KivrenClient.h"
#include "MacHostService.h"

CloudAddressKeeper::CloudAddressKeeper(MacHostService &host, KivrenClient &client, QObject *parent)
    : QObject(parent)
    , m_host(&host)
    , m_client(&client)
{
    connect(&client, &KivrenClient::phaseChanged, this, &CloudAddressKeeper::onPhaseChanged);
    connect(&host, &MacHostService::switchboardProvenChanged, this, &CloudAddressKeeper::onProvenChanged);
    connect(&host, &MacHostService::originChanged, this, &CloudAddressKeeper::onOriginChanged);
    onPhaseChanged(client.phase());
}

bool CloudAddressKeeper::homeShows() const
{
    return m_homeShown;
}

void CloudAddressKeeper::onPhaseChanged(SessionPhase phase)
{
    const bool home = !showsRemoteDesktop(phase);
    const bool appeared = home && !m_homeShown;
    m_homeShown = home;
    if (appeared)
        onHomeAppeared();
}

// A viewer without a cloud address gets this computer's public origin, or its own switchboard,
// each time the home screen appears. A saved or typed address is left alone.
void CloudAddressKeeper::onHomeAppeared()
{
    if (!m_client || !m_host || !m_client->cloudURL().isEmpty())
        return;
    const QString origin = m_host->origin();
    if (!origin.isEmpty()) {
        m_client->setCloud(origin);
    } else if (m_host->switchboardProven()) {
        m_client->setCloudURL(KivrenClient::loopbackOrigin());
        m_lentLoopback = true;
    }
}

// The switchboard is proven a moment after start-up, when the home screen has long appeared:
// the viewer gets its address then. Once the port is lost, the lent address is taken back.
void CloudAddressKeeper::onProvenChanged(bool proven)
{
    if (!m_client)
        return;
    // Given only while the home screen shows, as on appearance; taken back at any time.
    if (proven) {
        if (homeShows())
            onHomeAppeared();
    } else if (m_lentLoopback && m_client->cloudURL() == KivrenClient::loopbackOrigin()) {
        m_client->setCloudURL(QString());
        m_lentLoopback = false;
    }
}

// A newly learned public origin replaces whatever cloud address the viewer held, but only
// while the home screen shows; an empty origin is ignored.
void CloudAddressKeeper::onOriginChanged(const QString &origin)
{
    if (!homeShows() || !m_client || origin.isEmpty())
        return;
    m_client->setCloud(origin);
}
