#pragma once

#include "HostStatus.h"
#include "KivrenTunnel.h"
#include "OwnedTask.h"
#include "RegistrationLoop.h"
#include "StoppableTask.h"
#include "SwitchboardRequests.h"
#include "TaskGroup.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>
#include <stop_token>

class HostIdentity;
class KivrenAPI;
class SwitchboardTrust;

// Keeps this host known to its switchboard and the switchboard reachable: the registration loop
// (prove, "register" and "heartbeat" every pass, RegistrationLoop), the public tunnel that is
// started once the switchboard is proven, and the origin it reports, which is stored, shown and
// told to the switchboard. A heartbeat that names a viewer waiting hands it on
// (viewerWaiting). The password and host token go only to a switchboard proven to be ours.
// Main thread.
class HostRegistration : public QObject
{
    Q_OBJECT

public:
    struct Timing
    {
        std::chrono::milliseconds firstPass{1200};  // start -> first register + heartbeat
        std::chrono::milliseconds period{3000};     // pause between passes
        std::chrono::milliseconds tunnelDelay{800}; // switchboard first proven -> tunnel start
    };

    struct Options
    {
        // Sent as "name".
        QString computerName;
        // Where the tunnel looks for its tools, and where ssh keeps the service's host key.
        QStringList tunnelDirectories;
        QString tunnelKnownHosts;
        KivrenTunnel::Timing tunnelTiming;
        // False: the tunnel is never started (a switchboard of the caller's own).
        bool startTunnel = true;
        // The first registrations' "unattended" (see setUnattended).
        bool unattended = true;
        Timing timing;
    };

    // The settings key the public origin is stored under: the viewer's cloud address.
    static inline const QString cloudKey = QStringLiteral("kivren.cloud");

    // Every reference must outlive the registration.
    HostRegistration(KivrenAPI &api, HostIdentity &identity, SwitchboardTrust &trust, Options options,
                     QObject *parent = nullptr);

    // Starts the loop; its first pass comes after Timing::firstPass.
    void start();
    // Proves the switchboard, then one "register" request (a fresh password goes out at once).
    StoppableTask<> registerHost(std::stop_token stop);
    void registerNow();
    // Sent as "unattended": false while the person at this computer is asked about each viewer.
    // A change is registered at once.
    void setUnattended(bool unattended);
    // One "heartbeat" request (none while the switchboard is not proven); may learn the origin
    // or hand on a viewer waiting.
    StoppableTask<> heartbeat(std::stop_token stop);

    // Lifts the lockout of this ID at the switchboard (and collects its failed connects).
    void liftLockout();

    // A session ended: until the next registration the status names no ID.
    void sessionEnded();
    // The switchboard was lost: nothing registered any more, the tunnel ends with it and a new
    // one reports an origin of its own.
    void switchboardLost();

    HostStatus::Registration registration() const { return m_registration; }
    // The switchboard's words when it refused the registration.
    QString refusal() const { return m_refusal; }
    // The public origin, as the tunnel or a heartbeat told it; empty while unknown.
    QString origin() const { return m_origin; }
    KivrenTunnel &tunnel() { return *m_tunnel; }

signals:
    void originChanged(const QString &origin);
    // registration() or refusal() changed.
    void registrationChanged();
    void viewerWaiting(const SwitchboardRequests::PendingSession &pending);
    // Read after every heartbeat: the lockout of this ID and the connects refused since.
    void lockoutRead(const SwitchboardRequests::LockoutAnswer &lockout);

private:
    StoppableTask<> registerOnly(std::stop_token stop);
    StoppableTask<> readLockout(bool lift, std::stop_token stop);
    StoppableTask<> reportOrigin(QString origin, std::stop_token stop);
    // Tells the switchboard the tunnel's origin, unless it has taken it already; it takes it only
    // from this machine's host once registered, so each successful registration asks again.
    StoppableTask<> tellOrigin(std::stop_token stop);
    void onProvenChanged(bool proven);
    void setOrigin(const QString &origin);
    void setRegistration(HostStatus::Registration registration);

    KivrenAPI &m_api;
    HostIdentity &m_identity;
    SwitchboardTrust &m_trust;
    Options m_options;
    KivrenTunnel *m_tunnel = nullptr; // child

    bool m_unattended = true;
    HostStatus::Registration m_registration = HostStatus::Registration::none;
    QString m_refusal;
    QString m_origin;
    // The origin the tunnel last reported, and whether the switchboard has taken it: it hands it
    // to every host in heartbeat answers.
    QString m_tunnelOrigin;
    bool m_originTaken = false;

    OwnedTask<RegistrationLoop> m_loop;
    // Origin reports and registrations asked for at once; they end with the registration.
    TaskGroup m_requests;
};
