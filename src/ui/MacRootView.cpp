#include "MacRootView.h"

#include "ConnectionPromptDialog.h"
#include "HostControls.h"
#include "KivrenClient.h"
#include "KivrenHome.h"
#include "KivrenTheme.h"
#include "MacHostService.h"
#include "PlatformWording.h"
#include "RemoteDesktopView.h"
#include "RunChoices.h"

#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

MacRootView::MacRootView(MacHostService &host, KivrenClient &client, ClickView::Sink sink,
                         QWidget *parent)
    : QWidget(parent)
    , m_host(&host)
    , m_client(&client)
    , m_sink(std::move(sink))
    , m_layout(new QVBoxLayout(this))
{
    setPalette(KivrenTheme::palette());
    setAutoFillBackground(true);
    setMinimumSize(kMinimumSize);
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(0);

    connect(&client, &KivrenClient::phaseChanged, this, &MacRootView::showScreenForPhase);
    connect(&host, &MacHostService::publicIdChanged, this, &MacRootView::refreshHome);
    connect(&host, &MacHostService::passwordChanged, this, &MacRootView::refreshHome);
    connect(&host, &MacHostService::statusChanged, this, &MacRootView::refreshHome);
    connect(&host, &MacHostService::statusToneChanged, this, &MacRootView::refreshHome);
    connect(&host, &MacHostService::noticeChanged, this, &MacRootView::refreshHome);
    connect(&host, &MacHostService::sharingNoteChanged, this, &MacRootView::refreshHome);
    connect(&host, &MacHostService::accessActionChanged, this, &MacRootView::refreshHome);
    connect(&host, &MacHostService::originChanged, this, &MacRootView::refreshHome);
    connect(&host, &MacHostService::switchboardProvenChanged, this, &MacRootView::refreshHome);
    connect(&host, &MacHostService::encryptedOnlyChanged, this, &MacRootView::refreshHome);
    connect(&host, &MacHostService::askFirstChanged, this, &MacRootView::refreshHome);
    connect(&host, &MacHostService::sessionsChanged, this, &MacRootView::refreshHome);
    connect(&host, &MacHostService::attemptsChanged, this, &MacRootView::refreshHome);
    connect(&host, &MacHostService::lockoutNoteChanged, this, &MacRootView::refreshHome);
    connect(&host, &MacHostService::askingChanged, this, &MacRootView::showPrompt);
    // The viewer refuses this computer's own ID.
    const auto tellOwnId = [this] {
        if (m_client && m_host)
            m_client->setOwnId(m_host->publicId());
    };
    connect(&host, &MacHostService::publicIdChanged, this, tellOwnId);
    tellOwnId();

    if (screenFor(client.phase()) == Screen::remote)
        showRemote();
    else
        showHome();
}

KivrenHome *MacRootView::home() const
{
    return m_home;
}

RemoteDesktopView *MacRootView::remote() const
{
    return m_remote;
}

MacRootView::Screen MacRootView::screenFor(SessionPhase phase)
{
    return showsRemoteDesktop(phase) ? Screen::remote : Screen::home;
}

QSize MacRootView::firstSizeFor(const QSize &available)
{
    const QSize room(int(available.width() * kFirstSizeScreenShare), int(available.height() * kFirstSizeScreenShare));
    return kFirstSize.boundedTo(room).expandedTo(kMinimumSize);
}

std::optional<QString> MacRootView::cloudHintFor(const QString &origin, bool switchboardProven)
{
    if (!origin.isEmpty())
        return originHintPrefix + origin;
    if (switchboardProven)
        return PlatformWording::switchboardHint();
    return std::nullopt;
}

std::optional<MacRootView::RunNote> MacRootView::runNoteFor(bool keepsHostingWhenClosed, const QString &problem)
{
    if (!problem.isEmpty())
        return RunNote{problem, StatusTone::warning};
    if (keepsHostingWhenClosed)
        return RunNote{QStringLiteral("Closing this window keeps %1 reachable. Quit stops hosting.")
                           .arg(PlatformWording::thisComputer())};
    return std::nullopt;
}

void MacRootView::setRunChoices(RunChoices *choices, std::function<void()> quit)
{
    if (m_choices)
        disconnect(m_choices, nullptr, this, nullptr);
    m_choices = choices;
    m_quit = std::move(quit);
    if (choices) {
        connect(choices, &RunChoices::startsAtLoginChanged, this, &MacRootView::refreshHome);
        connect(choices, &RunChoices::keepsHostingWhenClosedChanged, this, &MacRootView::refreshHome);
        connect(choices, &RunChoices::problemChanged, this, &MacRootView::refreshHome);
    }
    refreshHome();
}

void MacRootView::showScreenForPhase()
{
    if (!m_client)
        return;
    const Screen wanted = screenFor(m_client->phase());
    if (wanted == m_screen)
        return;
    if (wanted == Screen::remote)
        showRemote();
    else
        showHome();
}

// The screen being replaced may be the one whose button started the change (End, Connect),
// so it is only hidden here and deleted once control is back in the event loop.
static void retire(QWidget *screen)
{
    if (!screen)
        return;
    screen->hide();
    screen->deleteLater();
}

void MacRootView::showHome()
{
    retire(m_remote);
    m_remote = nullptr;
    m_screen = Screen::home;
    m_home = new KivrenHome(*m_client, this);
    refreshHome();
    m_home->setOnCopyId([host = m_host] {
        if (host)
            host->copyId();
    });
    m_home->setOnCopyPass([host = m_host] {
        if (host)
            host->copyPass();
    });
    m_home->setOnNewPass([this] { newPassword(); });
    HostControls *controls = m_home->hostControls();
    controls->setOnAskFirst([host = m_host](bool on) {
        if (host)
            host->setAskFirst(on);
    });
    controls->setOnEndSession([host = m_host](const QString &sessionId) {
        if (host)
            host->endSession(sessionId);
    });
    controls->setOnViewOnly([host = m_host](const QString &sessionId, bool on) {
        if (host)
            host->setViewOnly(sessionId, on);
    });
    controls->setOnLiftLockout([host = m_host] {
        if (host)
            host->liftLockout();
    });
    m_home->setOnRequestAccess([host = m_host] {
        if (host)
            host->requestAccess();
    });
    m_home->setOnStartAtLogin([this](bool on) {
        if (m_choices)
            m_choices->setStartsAtLogin(on);
    });
    m_home->setOnKeepHosting([this](bool on) {
        if (m_choices)
            m_choices->setKeepsHostingWhenClosed(on);
    });
    m_home->setOnEncryptedOnly([host = m_host](bool on) {
        if (host)
            host->setEncryptedOnly(on);
    });
    m_layout->addWidget(m_home);
    m_home->show();
}

void MacRootView::showRemote()
{
    retire(m_home);
    m_home = nullptr;
    m_screen = Screen::remote;
    m_remote = new RemoteDesktopView(*m_client, m_sink, this);
    m_layout->addWidget(m_remote);
    m_remote->show();
}

void MacRootView::refreshHome()
{
    if (!m_home || !m_host)
        return;
    m_home->setHostId(m_host->publicId());
    m_home->setHostPassword(m_host->password());
    m_home->setHostStatus(m_host->status());
    m_home->setHostTone(m_host->statusTone());
    m_home->setHostNotice(m_host->notice());
    m_home->setHostSharingNote(m_host->sharingNote());
    m_home->setHostAccessAction(m_host->accessAction());
    m_home->setCloudHint(cloudHintFor(m_host->origin(), m_host->switchboardProven()));
    m_home->setEncryptedOnly(m_host->encryptedOnly());
    HostControls *controls = m_home->hostControls();
    controls->setAskFirst(m_host->askFirst());
    controls->setSessions(m_host->sessions());
    controls->setAttempts(m_host->attempts());
    controls->setLockoutNote(m_host->lockoutNote());

    const bool keepsHosting = m_choices && m_choices->keepsHostingWhenClosed();
    m_home->setStartAtLogin(m_choices ? std::optional(m_choices->startsAtLogin()) : std::nullopt);
    m_home->setKeepHosting(m_choices ? std::optional(keepsHosting) : std::nullopt);
    const std::optional<RunNote> note = runNoteFor(keepsHosting, m_choices ? m_choices->problem() : QString());
    m_home->setRunNote(note ? std::optional(note->text) : std::nullopt, note ? note->tone : StatusTone::ok);
    m_home->setOnQuit(keepsHosting ? m_quit : std::function<void()>());
}

void MacRootView::showPrompt()
{
    if (!m_host)
        return;
    const QString question = m_host->asking();
    // Settled (answered here, or timed out): the dialog goes, once its own click has finished.
    if (m_prompt) {
        m_prompt->hide();
        m_prompt->deleteLater();
        m_prompt = nullptr;
    }
    if (question.isEmpty())
        return;
    m_prompt = new ConnectionPromptDialog(
        question, m_host->askWithin(),
        [host = m_host] {
            if (host)
                host->allowViewer();
        },
        [host = m_host] {
            if (host)
                host->refuseViewer();
        },
        this);
    m_prompt->show();
    m_prompt->raise();
    m_prompt->activateWindow();
}

void MacRootView::newPassword()
{
    if (!m_host)
        return;
    const qsizetype live = m_host->sessions().size();
    if (live == 0) {
        m_host->rotatePassword();
        return;
    }
    auto *confirm = new QMessageBox(QMessageBox::Question, QStringLiteral("New password"),
                                    live == 1 ? QStringLiteral("A viewer is connected with the current password. "
                                                               "A new password ends its session.")
                                              : QStringLiteral("%1 viewers are connected with the current password. "
                                                               "A new password ends their sessions.")
                                                    .arg(live),
                                    QMessageBox::Cancel, this);
    confirm->setObjectName(QStringLiteral("confirmNewPassword"));
    QPushButton *end = confirm->addButton(QStringLiteral("New password and end sessions"), QMessageBox::AcceptRole);
    end->setObjectName(QStringLiteral("confirmNewPasswordEnd"));
    confirm->setDefaultButton(QMessageBox::Cancel);
    confirm->setAttribute(Qt::WA_DeleteOnClose);
    connect(end, &QAbstractButton::clicked, this, [host = m_host] {
        if (host)
            host->rotatePassword();
    });
    confirm->open();
}
