#pragma once

#include "HostKey.h"
#include "HostStatus.h"
#include "KivrenCloudProcess.h"
#include "LocalSwitchboard.h"
#include "StoppableTask.h"
#include "SwitchboardChild.h"
#include "SwitchboardKeeper.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <optional>
#include <stop_token>

class KivrenAPI;

// Whether this host may talk to the switchboard its requests go to. It trusts only its own: the
// node child it launched (through a SwitchboardKeeper, which launches it again whenever it goes)
// with a fresh HostKey. Nothing is to be sent to the port before that child has said it listens;
// every registration pass first challenges the listener with a fresh nonce (prove), which only
// the child holding the key answers right; and once the child has exited, or another program
// answered in its place, the port is lost: nothing more is to be sent until a later pass proves
// it again. The request transport it is given goes to the child's port and carries the key's
// header proof on every request, by which the switchboard knows its own host.
//
// Without children the caller names the switchboard: with its key, it is proven as the child
// would be; without one the caller vouches for it, and it counts as proven from the start.
// Main thread.
class SwitchboardTrust : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        // False: no node child; the transport's base is the caller's switchboard.
        bool startChildren = true;
        // Without children: the key the caller's switchboard was started with; none: vouched for.
        std::optional<HostKey> switchboardKey;
        // The port the node child is told to serve on (0: any free port, which it then names).
        quint16 port = LocalSwitchboard::port;
        KivrenCloudProcess::Roots launcherRoots = KivrenCloudProcess::Roots::system();
        SwitchboardKeeper::Timing restart;
    };

    // `api` must outlive this object; its base and header follow the switchboard proven.
    SwitchboardTrust(KivrenAPI &api, Options options, QObject *parent = nullptr);

    // Launches the child (or takes the caller's switchboard as it is).
    void start();

    // Challenges the listener; true when it is this launch's switchboard. Changes nothing when
    // the request did not get through (the next pass asks again).
    StoppableTask<bool> prove(std::stop_token stop);

    bool proven() const { return m_proven; }
    // What the host can tell of its switchboard, for the status line.
    HostStatus::Switchboard condition() const { return m_condition; }
    // The switchboard's file that is missing, while there is none to launch.
    QString missingFile() const { return m_missingFile; }
    // The port the child said it listens on; 0 without one.
    quint16 listeningPort() const;
    // The port to name in the status: the child's, else the one it was told.
    quint16 port() const;

signals:
    void provenChanged(bool proven);
    // The port is not (or no longer) ours: a session on it ends, the tunnel stops.
    void lost();
    // condition() or missingFile() changed.
    void conditionChanged();

private:
    // What the keeper's last attempt did: a new child to watch, or why there is none.
    void onLaunched(KivrenCloudProcess::Launch launch);
    void watch(SwitchboardChild *child);
    void onChildPhase(SwitchboardChild::Phase phase);
    bool childListens() const;
    void lose(HostStatus::Switchboard why);
    void setCondition(HostStatus::Switchboard condition);
    void setProven(bool proven);

    KivrenAPI &m_api;
    Options m_options;
    // Launches the node child and launches it again whenever it goes; null without children.
    SwitchboardKeeper *m_keeper = nullptr; // child
    // The node child of this launch (owned by the application object); null without children.
    QPointer<SwitchboardChild> m_child;
    // The key whose proofs this host asks for and sends; none when the caller vouches.
    std::optional<HostKey> m_key;
    bool m_proven = false;
    HostStatus::Switchboard m_condition = HostStatus::Switchboard::starting;
    QString m_missingFile;
};
