#pragma once

#include "Backoff.h"
#include "KivrenCloudProcess.h"
#include "SwitchboardChild.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>

// Keeps this computer's switchboard running for as long as it lives. It launches the node child
// (KivrenCloudProcess::start) and, whenever that child ends, finds its port taken or fails before
// listening, or no child can be launched at all (no node, no script, refused), launches again
// after a pause: `firstPause`, doubling up to `maxPause`. Every attempt looks for node and the
// script anew and lets node try the port again, so a port another program let go of, or a node
// installed meanwhile, is taken up. Every child has a fresh key, so its owner must prove it
// anew; once it has (childProven), the next end waits the first pause again.
//
// Its owner holds it as a child object: when the owner goes, the pending attempt goes with it
// and nothing more is launched or reported. Main thread.
class SwitchboardKeeper : public QObject
{
    Q_OBJECT

public:
    struct Timing
    {
        std::chrono::milliseconds firstPause{1000}; // an end -> the first new attempt
        std::chrono::milliseconds maxPause{30000};  // the longest pause between attempts
    };

    SwitchboardKeeper(KivrenCloudProcess::Roots roots, quint16 port, Timing timing, QObject *parent = nullptr);

    // The first attempt, at once.
    void start();
    // The owner proved the current child to be the one it launched.
    void childProven();

    // What the last attempt did; the child it launched (or found running), null when none.
    KivrenCloudProcess::Launch lastLaunch() const { return m_lastLaunch; }
    SwitchboardChild *child() const { return m_child; }
    // An attempt waits for its pause to pass.
    bool waiting() const { return m_pause.isActive(); }
    const KivrenCloudProcess::Roots &roots() const { return m_roots; }

signals:
    // After every attempt; on started and alreadyRunning, child() is the child to watch.
    void launched(KivrenCloudProcess::Launch launch);

private:
    void attempt();
    void onChildPhase(SwitchboardChild::Phase phase);

    KivrenCloudProcess::Roots m_roots;
    quint16 m_port;
    Backoff m_backoff;
    QTimer m_pause; // single shot: the next attempt
    QPointer<SwitchboardChild> m_child;
    KivrenCloudProcess::Launch m_lastLaunch = KivrenCloudProcess::Launch::noNode;
};
