#pragma once

#include "ClickView.h"
#include "SessionPhase.h"
#include "StatusTone.h"

#include <QPointer>
#include <QWidget>

#include <functional>
#include <optional>

class ConnectionPromptDialog;
class KivrenClient;
class KivrenHome;
class MacHostService;
class RemoteDesktopView;
class RunChoices;
class QVBoxLayout;

// The window's content: the remote desktop while the viewer is live, the home screen at all
// other times. It feeds the home screen the host's identity, status and actions (the viewer's
// cloud address follows the host's through a CloudAddressKeeper, which the app owns). Neither
// the host nor the client is owned.
class MacRootView : public QWidget
{
    Q_OBJECT

public:
    enum class Screen { home, remote };

    // Small enough for a 1080-line screen at twice the scale (960 x 540 points, a panel and a
    // title bar taken off); the home screen scrolls inside when it needs more.
    static constexpr QSize kMinimumSize{420, 400};
    // The first size when the screen has room: two columns, Connect in view.
    static constexpr QSize kFirstSize{960, 680};
    // The share of the screen's free area the first size may take at most.
    static constexpr qreal kFirstSizeScreenShare = 0.9;
    static inline const QString originHintPrefix = QStringLiteral("Phone cloud address: ");

    // `sink` receives the remote view's pointer events; none means the client's send().
    MacRootView(MacHostService &host, KivrenClient &client, ClickView::Sink sink = {},
                QWidget *parent = nullptr);

    static Screen screenFor(SessionPhase phase);
    // The window's first size on a screen with this much free area (in the window's points).
    static QSize firstSizeFor(const QSize &available);
    // The sentence under the cloud-address field for a host origin (empty: none known yet); none
    // (the home screen's default) while this computer's switchboard is not proven, as it then
    // cannot be told that it is the switchboard.
    static std::optional<QString> cloudHintFor(const QString &origin, bool switchboardProven);

    // The line under the home screen's run toggles.
    struct RunNote
    {
        QString text;
        StatusTone tone = StatusTone::ok;
    };
    // Why a choice was not taken comes first; else what closing the window does when it does
    // not quit; else nothing.
    static std::optional<RunNote> runNoteFor(bool keepsHostingWhenClosed, const QString &problem);

    // The person's choices the home screen shows and changes (none: the toggles stay hidden), and
    // what its "Quit" button does while closing the window does not quit. Not owned.
    void setRunChoices(RunChoices *choices, std::function<void()> quit);

    Screen screen() const { return m_screen; }
    // The screen now shown; null for the other one.
    KivrenHome *home() const;
    RemoteDesktopView *remote() const;

private:
    void showScreenForPhase();
    void showHome();
    void showRemote();
    void refreshHome();
    // Shows the question about a viewer asking in, or takes it away once it is settled.
    void showPrompt();
    // "New" password: asks first when sessions are live, since they end with it.
    void newPassword();

    QPointer<MacHostService> m_host;
    QPointer<KivrenClient> m_client;
    QPointer<RunChoices> m_choices;
    std::function<void()> m_quit;
    ClickView::Sink m_sink;
    QVBoxLayout *m_layout = nullptr;
    Screen m_screen = Screen::home;
    QPointer<KivrenHome> m_home;
    QPointer<RemoteDesktopView> m_remote;
    QPointer<ConnectionPromptDialog> m_prompt;
};
