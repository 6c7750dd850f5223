#pragma once

#include "BookEntry.h"
#include "StatusTone.h"

#include <QPointer>
#include <QScrollArea>

#include <functional>
#include <optional>

class HomeCard;
class KivrenClient;
class KivrenField;
class KivrenGhost;
class QLabel;
class QVBoxLayout;

// The window's content whenever the viewer is not live: this machine's codes and status, the
// remote machine's ID and password with Connect, the cloud address, and the address book.
// It keeps no state of its own: the fields write straight into the client, and the host
// values and actions are handed in (and refreshed) by the root view.
//
// Widgets carry object names ("thisDevice", "remoteId", "connect", "bookRow", ...) so tests
// and screenshots can find them.
class KivrenHome : public QScrollArea
{
    Q_OBJECT

public:
    using Action = std::function<void()>;

    // The hint when none is given (PlatformWording::saveCloudHint()).
    static QString defaultHint();
    static inline const QString cloudPlaceholder =
        QStringLiteral("https://\u2026 or http://192.168.x.x:17880");

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
    // Absent shows the default hint.
    void setCloudHint(const std::optional<QString> &cloudHint);
    void setOnCopyId(Action action) { m_onCopyId = std::move(action); }
    void setOnCopyPass(Action action) { m_onCopyPass = std::move(action); }
    // Absent hides the "New" button.
    void setOnNewPass(Action action);

private:
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

    QVBoxLayout *m_column = nullptr;
    HomeCard *m_thisDevice = nullptr;
    QLabel *m_hostId = nullptr;
    QWidget *m_passwordCaption = nullptr;
    QLabel *m_hostPassword = nullptr;
    QWidget *m_statusRow = nullptr;
    QLabel *m_statusDot = nullptr;
    QLabel *m_hostStatus = nullptr;
    QLabel *m_hostNotice = nullptr;
    KivrenGhost *m_newPass = nullptr;
    QLabel *m_viewerStatus = nullptr;
    QLabel *m_hint = nullptr;
    HomeCard *m_book = nullptr;
    QVBoxLayout *m_bookRows = nullptr;
};
