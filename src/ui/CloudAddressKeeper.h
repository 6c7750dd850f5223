#pragma once

#include "SessionPhase.h"

#include <QObject>
#include <QPointer>
#include <QString>

class KivrenClient;
class MacHostService;

// Keeps this computer's viewer pointed at a switchboard while the window shows the home screen,
// from what its host knows. A viewer without a cloud address gets this computer's public origin,
// or else this computer's own switchboard on the loopback address, but only while the host has
// proven that its own switchboard serves that port: anybody else there would receive the IDs and
// passwords typed for other machines. The loopback address is only lent, never saved (on a later
// run a stranger may hold that port before the switchboard is proven, and a saved address would
// be used all the same), and it is taken back when the switchboard is lost. A public origin
// learned while the home screen shows replaces whatever address the viewer held. Neither the host
// nor the client is owned. Main thread.
class CloudAddressKeeper : public QObject
{
    Q_OBJECT

public:
    CloudAddressKeeper(MacHostService &host, KivrenClient &client, QObject *parent = nullptr);

private:
    bool homeShows() const;
    void onPhaseChanged(SessionPhase phase);
    void onHomeAppeared();
    void onProvenChanged(bool proven);
    void onOriginChanged(const QString &origin);

    QPointer<MacHostService> m_host;
    QPointer<KivrenClient> m_client;
    bool m_homeShown = false;
    // The viewer's address is the loopback address lent here.
    bool m_lentLoopback = false;
};
