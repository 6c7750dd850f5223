#include "SwitchboardKeeper.h"

SwitchboardKeeper::SwitchboardKeeper(KivrenCloudProcess::Roots roots, quint16 port, Timing timing, QObject *parent)
    : QObject(parent)
    , m_roots(std::move(roots))
    , m_port(port)
    , m_backoff(timing.firstPause, timing.maxPause)
{
    m_pause.setSingleShot(true);
    connect(&m_pause, &QTimer::timeout, this, &SwitchboardKeeper::attempt);
}

void SwitchboardKeeper::start()
{
    m_pause.stop();
    attempt();
}

void SwitchboardKeeper::childProven()
{
    m_backoff.reset();
}

void SwitchboardKeeper::attempt()
{
    using Launch = KivrenCloudProcess::Launch;
    if (m_child)
        m_child->disconnect(this);
    m_lastLaunch = KivrenCloudProcess::start(m_roots, m_port);
    const bool runs = m_lastLaunch == Launch::started || m_lastLaunch == Launch::alreadyRunning;
    m_child = runs ? KivrenCloudProcess::process() : nullptr;
    if (m_child) {
        // Watched before the owner hears of it, so that an end is seen here first.
        connect(m_child, &SwitchboardChild::phaseChanged, this, &SwitchboardKeeper::onChildPhase);
    } else {
        m_pause.start(m_backoff.next());
    }
    emit launched(m_lastLaunch);
}

void SwitchboardKeeper::onChildPhase(SwitchboardChild::Phase phase)
{
    using Phase = SwitchboardChild::Phase;
    if (phase == Phase::ended || phase == Phase::portInUse || phase == Phase::failed)
        m_pause.start(m_backoff.next());
}
