#pragma once

#include "BookEntry.h"
#include "StatusTone.h"

#include <QPointer>
#include <QScrollArea>

#include <functional>
#include <optional>

class HomeCard;
class HostControls;
class KivrenClient;
class KivrenField;
class KivrenGhost;
class QCheckBox;
class QLayout;
class QLabel;
class QVBoxLayout;

// The window's content whenever the viewer is not live: this machine's codes and status, the
// remote machine's ID and password with Connect, the cloud address, and the address book.
// It keeps no state of its own: the fields write straight into the client, and the host
// values and actions are handed in (and refreshed) by the root view.
//
// Wide, the cards stand in two columns (this computer; the remote one, the address book and
// the cloud address), so Connect is in view at the window's first size; narrow, in one column that
// scrolls. Enter in the ID or password field connects.
//
// Widgets carry object names ("thisDevice", "remoteId", "connect", "bookRow", ...) so tests
// and screenshots can find them, and accessible names for screen readers.
class KivrenHome : public QScrollArea
{
    Q_OBJECT

public:
    using Action = std::function<void()>;
    using Toggle = std::function<void(bool)>;

    // The hint when none is given (PlatformWording::saveCloudHint()).
    static QString defaultHint();
    static inline const QString cloudPlaceholder =
        QStringLiteral("https://\u2026 or http://192.168.x.x:17880");
    // What Copy ID, Copy password and Save cloud say for a moment after they did it.
    static inline const QString copiedText = QStringLiteral("Copied");
    static inline const QString savedText = QStringLiteral("Saved");

    explicit KivrenHome(KivrenClient &client, QWidget *parent = nullptr);

    // Absent hides the whole "This device" card.
    void setHostId(const std::optional<QString> &hostId);
    // Absent hides the password caption and line.
    void setHostPassword(const std::optional<QString> &hostPassword);
    // Absent hides the status row.
    void setHostStatus(const std::optional<QString> &hostStatus);
    // The status dot's colour: ok (the theme's ok), warning or error (danger).
    void setHostTone(StatusTone tone);
    // A second line under the status in the warning colour; absent or empty hides it.
    void setHostNotice(const std::optional<QString> &notice);
    // A line about how this computer shares its screen, muted; absent or empty hides it.
    void setHostSharingNote(const std::optional<QString> &note);
    // The label of the button under the status that asks the desktop again for screen sharing;
    // absent or empty hides it. The button runs the action given to setOnRequestAccess.
    void setHostAccessAction(const std::optional<QString> &label);
    void setOnRequestAccess(Action action) { m_onRequestAccess = std::move(action); }
    // The "Start when I log in" and "Keep hosting when the window is closed" toggles: each shows
    // the state given (absent hides it) and hands a click to its action, which is expected to
    // give the state that results.
    void setStartAtLogin(std::optional<bool> on);
    void setOnStartAtLogin(Toggle action) { m_onStartAtLogin = std::move(action); }
    void setKeepHosting(std::optional<bool> on);
    void setOnKeepHosting(Toggle action) { m_onKeepHosting = std::move(action); }
    // "Only encrypted viewers", the same way.
    void setEncryptedOnly(std::optional<bool> on);
    void setOnEncryptedOnly(Toggle action) { m_onEncryptedOnly = std::move(action); }
    // A line under the toggles (what closing the window does, or why a choice was not taken) in
    // the tone's colour; absent or empty hides it.
    void setRunNote(const std::optional<QString> &note, StatusTone tone);
    // Absent hides the "Quit" button.
    void setOnQuit(Action action);
    // Absent shows the default hint.
    void setCloudHint(const std::optional<QString> &cloudHint);
    void setOnCopyId(Action action) { m_onCopyId = std::move(action); }
    void setOnCopyPass(Action action) { m_onCopyPass = std::move(action); }
    // Absent hides the "New" button.
    void setOnNewPass(Action action);

    // The person's say over viewers under "This device": ask mode, sessions, lockout, attempts.
    HostControls *hostControls() const { return m_hostControls; }

    // Whether the cards stand in two columns (a wide window) or one.
    bool isTwoColumns() const;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void arrange(bool twoColumns);
    void setTabOrderOfCards();
    void openEntry(const QString &id);
    void focusBookRow(const QString &id);
    QWidget *buildHeader();
    HomeCard *buildThisDevice();
    HomeCard *buildRemoteDevice();
    HomeCard *buildCloud();
    HomeCard *buildBook();
    void showBook(const QList<BookEntry> &book);
    void showViewerStatus();
    void bind(KivrenField *field, QString (KivrenClient::*read)() const,
              void (KivrenClient::*write)(const QString &),
              void (KivrenClient::*changed)(const QString &));

    QPointer<KivrenClient> m_client;
    Action m_onCopyId;
    Action m_onCopyPass;
    Action m_onNewPass;
    Action m_onRequestAccess;
    Toggle m_onStartAtLogin;
    Toggle m_onKeepHosting;
    Toggle m_onEncryptedOnly;
    Action m_onQuit;

    QVBoxLayout *m_column = nullptr;
    QLayout *m_cards = nullptr;
    bool m_twoColumns = false;
    HomeCard *m_thisDevice = nullptr;
    HomeCard *m_remoteDevice = nullptr;
    HomeCard *m_cloud = nullptr;
    KivrenField *m_remotePassword = nullptr;
    QLabel *m_hostId = nullptr;
    QWidget *m_passwordCaption = nullptr;
    QLabel *m_hostPassword = nullptr;
    QWidget *m_statusRow = nullptr;
    QLabel *m_statusDot = nullptr;
    QLabel *m_hostStatus = nullptr;
    QLabel *m_hostNotice = nullptr;
    QLabel *m_sharingNote = nullptr;
    QWidget *m_accessRow = nullptr;
    KivrenGhost *m_accessButton = nullptr;
    KivrenGhost *m_newPass = nullptr;
    HostControls *m_hostControls = nullptr;
    QCheckBox *m_startAtLogin = nullptr;
    QCheckBox *m_keepHosting = nullptr;
    QCheckBox *m_encryptedOnly = nullptr;
    QWidget *m_runRow = nullptr;
    QLabel *m_runNote = nullptr;
    KivrenGhost *m_quit = nullptr;
    QLabel *m_viewerStatus = nullptr;
    QLabel *m_hint = nullptr;
    HomeCard *m_book = nullptr;
    QVBoxLayout *m_bookRows = nullptr;
};
