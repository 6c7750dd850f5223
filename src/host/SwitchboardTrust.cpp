#include "SwitchboardTrust.h"

#include "KivrenAPI.h"
#include "SwitchboardRequests.h"

namespace Requests = SwitchboardRequests;

SwitchboardTrust::SwitchboardTrust(KivrenAPI &api, Options options, QObject *parent)
    : QObject(parent)
    , m_api(api)
    , m_options(std::move(options))
{
}

void SwitchboardTrust::start()
{
    if (m_options.startChildren) {
        m_keeper = new SwitchboardKeeper(m_options.launcherRoots, m_options.port, m_options.restart, this);
        connect(m_keeper, &SwitchboardKeeper::launched, this, &SwitchboardTrust::onLaunched);
        m_keeper->start();
    } else if (m_options.switchboardKey) {
        m_key = m_options.switchboardKey;
        m_api.setHeader(HostKey::proofHeader, m_key->headerValue());
    } else {
        setCondition(HostStatus::Switchboard::proven);
        setProven(true);
    }
}

quint16 SwitchboardTrust::listeningPort() const
{
    return m_child ? m_child->listeningPort() : 0;
}

quint16 SwitchboardTrust::port() const
{
    return listeningPort() != 0 ? listeningPort() : m_options.port;
}

void SwitchboardTrust::onLaunched(KivrenCloudProcess::Launch launch)
{
    using Launch = KivrenCloudProcess::Launch;
    switch (launch) {
    case Launch::noNode:
        setCondition(HostStatus::Switchboard::noNode);
        break;
    case Launch::noScript:
        m_missingFile = KivrenCloudProcess::missingFile(m_keeper->roots());
        setCondition(HostStatus::Switchboard::noScript);
        break;
    case Launch::refused:
        setCondition(HostStatus::Switchboard::notStarted);
        break;
    case Launch::started:
    case Launch::alreadyRunning:
        // Until the new child is proven, the status keeps saying why the last one went.
        watch(m_keeper->child());
        break;
    }
}

void SwitchboardTrust::watch(SwitchboardChild *child)
{
    m_child = child;
    // The child's key is the one every header proof and challenge answer now comes from.
    m_key = child->hostKey();
    m_api.setHeader(HostKey::proofHeader, m_key->headerValue());
    connect(child, &SwitchboardChild::phaseChanged, this, &SwitchboardTrust::onChildPhase, Qt::UniqueConnection);
    onChildPhase(child->phase());
}

void SwitchboardTrust::onChildPhase(SwitchboardChild::Phase phase)
{
    using Phase = SwitchboardChild::Phase;
    switch (phase) {
    case Phase::starting:
        break;
    case Phase::listening:
        // Requests go to the port the child names; the next pass proves it is the child there.
        m_api.setBase(LocalSwitchboard::loopbackOrigin(m_child->listeningPort()));
        // The status names the port.
        emit conditionChanged();
        break;
    case Phase::portInUse:
        lose(HostStatus::Switchboard::portInUse);
        break;
    case Phase::failed:
        lose(HostStatus::Switchboard::notStarted);
        break;
    case Phase::ended:
        // Whoever takes the port next is not ours: nothing is sent there until the child the
        // keeper launches next is proven, under a key of its own.
        lose(HostStatus::Switchboard::restarting);
        break;
    }
}

bool SwitchboardTrust::childListens() const
{
    return !m_options.startChildren || (m_child && m_child->phase() == SwitchboardChild::Phase::listening);
}

StoppableTask<bool> SwitchboardTrust::prove(std::stop_token stop)
{
    // A switchboard the caller vouches for needs no proof.
    if (!m_key)
        co_return true;
    // Before the child listens, and after it is gone, the port belongs to nobody we know.
    if (!childListens())
        co_return false;

    // The answer is checked against this child's key: a child launched while it was on its way
    // has a key of its own and is proven by a later pass.
    const QByteArray askedKey = m_key->headerValue();
    const QByteArray nonce = HostKey::freshNonce();
    const QByteArray expected = m_key->answerTo(nonce);
    const KivrenAnswer answer = co_await Requests::post(m_api, Requests::Prove{nonce}, stop);
    // The child may have ended while the answer was on its way.
    if (!childListens() || m_key->headerValue() != askedKey)
        co_return false;
    // Not through (refused connection, timeout): nothing learned either way, so nothing is sent
    // this pass and nothing changes.
    if (!answer.ok() && answer.error->domain != KivrenError::kivrenDomain)
        co_return false;
    const std::optional<QString> proof = Requests::ProveAnswer::fromJson(answer.object).proof;
    if (!answer.ok() || !proof || !HostKey::sameAnswer(proof->toLatin1(), expected)) {
        lose(HostStatus::Switchboard::portInUse);
        co_return false;
    }
    if (m_keeper)
        m_keeper->childProven();
    if (!m_proven) {
        setCondition(HostStatus::Switchboard::proven);
        setProven(true);
    }
    co_return true;
}

void SwitchboardTrust::lose(HostStatus::Switchboard why)
{
    // Told once, by lost(): whoever reads the condition then sees all of the loss at once.
    m_condition = why;
    setProven(false);
    emit lost();
}

void SwitchboardTrust::setCondition(HostStatus::Switchboard condition)
{
    m_condition = condition;
    emit conditionChanged();
}

void SwitchboardTrust::setProven(bool proven)
{
    if (m_proven == proven)
        return;
    m_proven = proven;
    emit provenChanged(m_proven);
}
