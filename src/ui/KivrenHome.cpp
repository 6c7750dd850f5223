#include "KivrenHome.h"

#include "BookRow.h"
#include "Eyebrow.h"
#include "HomeCard.h"
#include "HostControls.h"
#include "KivrenClient.h"
#include "KivrenField.h"
#include "KivrenGhost.h"
#include "KivrenIds.h"
#include "KivrenMark.h"
#include "KivrenPrimary.h"
#include "KivrenTheme.h"
#include "PlatformWording.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QTimer>

#include <chrono>
#include <QVBoxLayout>

namespace {

constexpr int kColumnInset = 20;
constexpr int kColumnSpacing = 20;
constexpr qreal kTextSize = 13;
constexpr int kDotSize = 8;
// Wide enough for two cards side by side, each as wide as its longest line needs.
constexpr int kTwoColumnsFrom = 800;
// How long "Copied" or "Saved" stands in a button's place.
constexpr std::chrono::milliseconds kFeedbackTime{1500};

// The button says what it did for a moment, then takes its own label back.
void confirm(KivrenGhost *button, const QString &done)
{
    const QString label = button->property("restingText").isValid() ? button->property("restingText").toString()
                                                                    : button->text();
    button->setProperty("restingText", label);
    button->setText(done);
    button->updateGeometry();
    QTimer::singleShot(kFeedbackTime, button, [button, label] {
        button->setText(label);
        button->updateGeometry();
        button->setProperty("restingText", QVariant());
    });
}

QLabel *label(const QString &text, const QFont &font, std::optional<QColor> colour = std::nullopt)
{
    auto *l = new QLabel(text);
    // Names, statuses and errors come from other machines: never interpret them as markup.
    l->setTextFormat(Qt::PlainText);
    // Inside a button a label would otherwise take the button's text role.
    l->setForegroundRole(QPalette::WindowText);
    l->setFont(font);
    if (colour) {
        QPalette p = l->palette();
        p.setColor(QPalette::WindowText, *colour);
        l->setPalette(p);
    }
    l->setTextInteractionFlags(Qt::NoTextInteraction);
    return l;
}

void setTextColour(QLabel *l, const QColor &colour)
{
    QPalette p = l->palette();
    p.setColor(QPalette::WindowText, colour);
    l->setPalette(p);
}

// A container that adds empty space above one item (the card's own spacing still applies).
QWidget *withTopInset(QWidget *item, int top)
{
    auto *box = new QWidget;
    auto *layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, top, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(item);
    return box;
}

QHBoxLayout *row(QWidget *owner, int top, int spacing)
{
    auto *layout = new QHBoxLayout(owner);
    layout->setContentsMargins(0, top, 0, 0);
    layout->setSpacing(spacing);
    return layout;
}

const QColor &toneColour(StatusTone tone)
{
    switch (tone) {
    case StatusTone::ok:
        break;
    case StatusTone::warning:
        return KivrenTheme::warning();
    case StatusTone::error:
        return KivrenTheme::danger();
    }
    return KivrenTheme::ok();
}

QPixmap statusDot(StatusTone tone)
{
    QPixmap dot(kDotSize, kDotSize);
    dot.fill(Qt::transparent);
    QPainter p(&dot);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(toneColour(tone));
    p.drawEllipse(QRectF(0, 0, kDotSize, kDotSize));
    return dot;
}

} // namespace

KivrenHome::KivrenHome(KivrenClient &client, QWidget *parent)
    : QScrollArea(parent)
    , m_client(&client)
{
    setFrameShape(QFrame::NoFrame);
    setWidgetResizable(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    const QPalette p = KivrenTheme::palette();
    setPalette(p);
    viewport()->setAutoFillBackground(true);
    viewport()->setPalette(p);

    auto *content = new QWidget;
    content->setObjectName(QStringLiteral("homeColumn"));
    content->setAutoFillBackground(true);
    content->setPalette(p);
    m_column = new QVBoxLayout(content);
    m_column->setContentsMargins(kColumnInset, kColumnInset, kColumnInset, kColumnInset);
    m_column->setSpacing(kColumnSpacing);

    m_column->addWidget(buildHeader());
    m_thisDevice = buildThisDevice();
    m_remoteDevice = buildRemoteDevice();
    m_cloud = buildCloud();
    m_book = buildBook();
    for (QWidget *card : {static_cast<QWidget *>(m_thisDevice), static_cast<QWidget *>(m_remoteDevice),
                          static_cast<QWidget *>(m_cloud), static_cast<QWidget *>(m_book)})
        card->setParent(content);
    arrange(false);
    setWidget(content);

    // Absent until the root view hands the host values in.
    setHostId(std::nullopt);
    setHostPassword(std::nullopt);
    setHostStatus(std::nullopt);
    setHostTone(StatusTone::ok);
    setHostNotice(std::nullopt);
    setHostSharingNote(std::nullopt);
    setHostAccessAction(std::nullopt);
    setCloudHint(std::nullopt);
    setOnNewPass({});
    setStartAtLogin(std::nullopt);
    setKeepHosting(std::nullopt);
    setEncryptedOnly(std::nullopt);
    setRunNote(std::nullopt, StatusTone::ok);
    setOnQuit({});

    connect(&client, &KivrenClient::statusChanged, this, &KivrenHome::showViewerStatus);
    connect(&client, &KivrenClient::phaseChanged, this, &KivrenHome::showViewerStatus);
    connect(&client, &KivrenClient::bookChanged, this, &KivrenHome::showBook);
    showViewerStatus();
    showBook(client.book());
}

QWidget *KivrenHome::buildHeader()
{
    auto *header = new QWidget;
    header->setObjectName(QStringLiteral("header"));
    auto *layout = row(header, 8, 12);

    layout->addWidget(new KivrenMark(40), 0, Qt::AlignVCenter);

    auto *titles = new QVBoxLayout;
    titles->setSpacing(2);
    QFont titleFont = KivrenTheme::font(22, QFont::DemiBold);
    titleFont.setLetterSpacing(QFont::AbsoluteSpacing, -0.4);
    auto *title = label(QStringLiteral("KivrenRemote"), titleFont);
    title->setObjectName(QStringLiteral("title"));
    titles->addWidget(title);
    titles->addWidget(label(QStringLiteral("Reach your computers from anywhere."),
                            KivrenTheme::font(kTextSize), KivrenTheme::muted()));
    layout->addLayout(titles);
    layout->addStretch(1);
    return header;
}

HomeCard *KivrenHome::buildThisDevice()
{
    auto *card = new HomeCard;
    card->setObjectName(QStringLiteral("thisDevice"));
    card->add(new Eyebrow(QStringLiteral("This device")));

    m_hostId = label({}, KivrenTheme::monoFont(32, QFont::DemiBold));
    m_hostId->setObjectName(QStringLiteral("hostId"));
    m_hostId->setAccessibleName(QStringLiteral("This computer's ID"));
    m_hostId->setContentsMargins(0, 6, 0, 0);
    card->add(m_hostId);

    auto *caption = new Eyebrow(QStringLiteral("Unattended password"));
    caption->setObjectName(QStringLiteral("passwordCaption"));
    caption->setContentsMargins(0, 14, 0, 0);
    m_passwordCaption = caption;
    card->add(caption);
    m_hostPassword = label({}, KivrenTheme::monoFont(24, QFont::DemiBold));
    m_hostPassword->setObjectName(QStringLiteral("hostPassword"));
    m_hostPassword->setAccessibleName(QStringLiteral("This computer's password"));
    card->add(m_hostPassword);

    m_statusRow = new QWidget;
    m_statusRow->setObjectName(QStringLiteral("hostStatusRow"));
    auto *statusLayout = row(m_statusRow, 12, 8);
    m_statusDot = new QLabel;
    m_statusDot->setObjectName(QStringLiteral("hostStatusDot"));
    m_statusDot->setFixedSize(kDotSize, kDotSize);
    statusLayout->addWidget(m_statusDot, 0, Qt::AlignVCenter);
    m_hostStatus = label({}, KivrenTheme::font(kTextSize), KivrenTheme::muted());
    m_hostStatus->setObjectName(QStringLiteral("hostStatus"));
    m_hostStatus->setAccessibleName(QStringLiteral("This computer's status"));
    // A status may name a path: it wraps within the card rather than widening the window.
    m_hostStatus->setWordWrap(true);
    statusLayout->addWidget(m_hostStatus, 1, Qt::AlignVCenter);
    card->add(m_statusRow, true);

    m_hostNotice = label({}, KivrenTheme::font(kTextSize), KivrenTheme::warning());
    m_hostNotice->setObjectName(QStringLiteral("hostNotice"));
    m_hostNotice->setWordWrap(true);
    card->add(m_hostNotice, true);

    m_sharingNote = label({}, KivrenTheme::font(kTextSize), KivrenTheme::muted());
    m_sharingNote->setObjectName(QStringLiteral("hostSharingNote"));
    m_sharingNote->setWordWrap(true);
    card->add(m_sharingNote, true);

    // Right under the status it mends (a refused or broken screen sharing).
    m_accessRow = new QWidget;
    auto *accessLayout = row(m_accessRow, 0, 8);
    m_accessButton = new KivrenGhost(QString());
    m_accessButton->setObjectName(QStringLiteral("requestAccess"));
    accessLayout->addWidget(m_accessButton, 0, Qt::AlignVCenter);
    accessLayout->addStretch(1);
    card->add(m_accessRow, true);
    connect(m_accessButton, &QAbstractButton::clicked, this, [this] {
        if (m_onRequestAccess)
            m_onRequestAccess();
    });

    auto *buttons = new QWidget;
    auto *buttonLayout = row(buttons, 8, 8);
    auto *copyId = new KivrenGhost(QStringLiteral("Copy ID"));
    copyId->setObjectName(QStringLiteral("copyId"));
    copyId->setAccessibleDescription(QStringLiteral("Copies this computer's ID"));
    auto *copyPass = new KivrenGhost(QStringLiteral("Copy password"));
    copyPass->setObjectName(QStringLiteral("copyPassword"));
    copyPass->setAccessibleDescription(QStringLiteral("Copies this computer's password"));
    m_newPass = new KivrenGhost(QStringLiteral("New"));
    m_newPass->setObjectName(QStringLiteral("newPassword"));
    m_newPass->setAccessibleName(QStringLiteral("New password"));
    m_newPass->setAccessibleDescription(QStringLiteral("Makes a new password for this computer"));
    for (QWidget *b : {static_cast<QWidget *>(copyId), static_cast<QWidget *>(copyPass),
                       static_cast<QWidget *>(m_newPass)})
        buttonLayout->addWidget(b, 0, Qt::AlignVCenter);
    buttonLayout->addStretch(1);
    card->add(buttons, true);

    m_hostControls = new HostControls;
    card->add(m_hostControls, true);

    connect(copyId, &QAbstractButton::clicked, this, [this, copyId] {
        if (!m_onCopyId)
            return;
        m_onCopyId();
        confirm(copyId, copiedText);
    });
    connect(copyPass, &QAbstractButton::clicked, this, [this, copyPass] {
        if (!m_onCopyPass)
            return;
        m_onCopyPass();
        confirm(copyPass, copiedText);
    });
    connect(m_newPass, &QAbstractButton::clicked, this, [this] {
        if (m_onNewPass)
            m_onNewPass();
    });

    // How this computer is hosted when nobody is at it. A click hands the choice on; the box
    // then shows what the root view says was taken (clicked, unlike toggled, is not emitted
    // for that).
    const auto toggle = [this, card](const QString &text, const QString &name, Toggle KivrenHome::*action) {
        auto *box = new QCheckBox(text);
        box->setObjectName(name);
        box->setFont(KivrenTheme::font(kTextSize));
        box->setForegroundRole(QPalette::WindowText);
        card->add(box, true);
        connect(box, &QAbstractButton::clicked, this, [this, box, action](bool checked) {
            box->setChecked(!checked);
            if (this->*action)
                (this->*action)(checked);
        });
        return box;
    };
    m_startAtLogin = toggle(QStringLiteral("Start when I log in"), QStringLiteral("startAtLogin"),
                            &KivrenHome::m_onStartAtLogin);
    m_startAtLogin->setContentsMargins(0, 8, 0, 0);
    m_keepHosting = toggle(QStringLiteral("Keep hosting when the window is closed"), QStringLiteral("keepHosting"),
                           &KivrenHome::m_onKeepHosting);
    m_encryptedOnly = toggle(QStringLiteral("Only encrypted viewers"), QStringLiteral("encryptedOnly"),
                             &KivrenHome::m_onEncryptedOnly);

    m_runRow = new QWidget;
    auto *runLayout = row(m_runRow, 0, 8);
    m_runNote = label({}, KivrenTheme::font(kTextSize), KivrenTheme::muted());
    m_runNote->setObjectName(QStringLiteral("runNote"));
    m_runNote->setWordWrap(true);
    runLayout->addWidget(m_runNote, 1, Qt::AlignVCenter);
    m_quit = new KivrenGhost(QStringLiteral("Quit"));
    m_quit->setObjectName(QStringLiteral("quitApp"));
    m_quit->setAccessibleDescription(QStringLiteral("Stops hosting and closes KivrenRemote"));
    runLayout->addWidget(m_quit, 0, Qt::AlignVCenter);
    card->add(m_runRow, true);
    connect(m_quit, &QAbstractButton::clicked, this, [this] {
        if (m_onQuit)
            m_onQuit();
    });
    return card;
}

HomeCard *KivrenHome::buildRemoteDevice()
{
    auto *card = new HomeCard;
    card->setObjectName(QStringLiteral("remoteDevice"));
    card->add(new Eyebrow(QStringLiteral("Remote device")));

    auto *id = new KivrenField(QStringLiteral("123 456 789"));
    id->setObjectName(QStringLiteral("remoteId"));
    id->setAccessibleName(QStringLiteral("ID of the remote computer"));
    id->setAccessibleDescription(QStringLiteral("The 9-digit ID shown on the computer to reach"));
    card->add(withTopInset(id, 8), true);
    auto *password = new KivrenField(QStringLiteral("XXXX-XXXX"));
    password->setObjectName(QStringLiteral("remotePassword"));
    password->setAccessibleName(QStringLiteral("Password of the remote computer"));
    password->setAccessibleDescription(QStringLiteral("The 8-character password shown on that computer"));
    card->add(password, true);
    m_remotePassword = password;

    auto *connectButton = new KivrenPrimary(QStringLiteral("Connect"));
    connectButton->setObjectName(QStringLiteral("connect"));
    connectButton->setAccessibleDescription(QStringLiteral("Connects to the computer of this ID"));
    card->add(withTopInset(connectButton, 4), true);

    m_viewerStatus = label({}, KivrenTheme::font(kTextSize));
    m_viewerStatus->setObjectName(QStringLiteral("viewerStatus"));
    m_viewerStatus->setAccessibleName(QStringLiteral("Connection status"));
    m_viewerStatus->setWordWrap(true);
    card->add(m_viewerStatus, true);

    bind(id, &KivrenClient::remoteId, &KivrenClient::setRemoteId, &KivrenClient::remoteIdChanged);
    bind(password, &KivrenClient::remotePassword, &KivrenClient::setRemotePassword,
         &KivrenClient::remotePasswordChanged);
    const auto connectNow = [this] {
        if (m_client)
            m_client->connectToRemote();
    };
    connect(connectButton, &QAbstractButton::clicked, this, connectNow);
    // Enter in either field connects, as the button would.
    connect(id, &QLineEdit::returnPressed, this, connectNow);
    connect(password, &QLineEdit::returnPressed, this, connectNow);
    return card;
}

HomeCard *KivrenHome::buildCloud()
{
    auto *card = new HomeCard;
    card->setObjectName(QStringLiteral("cloudAddress"));
    card->add(new Eyebrow(QStringLiteral("Cloud address")));

    auto *cloud = new KivrenField(cloudPlaceholder);
    cloud->setObjectName(QStringLiteral("cloudField"));
    cloud->setAccessibleName(QStringLiteral("Cloud address"));
    cloud->setAccessibleDescription(QStringLiteral("The internet address of the computer at home"));
    card->add(withTopInset(cloud, 8), true);

    auto *save = new KivrenGhost(QStringLiteral("Save cloud"));
    save->setObjectName(QStringLiteral("saveCloud"));
    save->setAccessibleDescription(QStringLiteral("Keeps the cloud address for the next connections"));
    card->add(save);

    m_hint = label({}, KivrenTheme::font(kTextSize), KivrenTheme::muted());
    m_hint->setObjectName(QStringLiteral("cloudHint"));
    m_hint->setContentsMargins(0, 4, 0, 0);
    m_hint->setWordWrap(true);
    card->add(m_hint, true);

    bind(cloud, &KivrenClient::cloudURL, &KivrenClient::setCloudURL, &KivrenClient::cloudURLChanged);
    connect(save, &QAbstractButton::clicked, this, [this, save] {
        if (!m_client)
            return;
        m_client->setCloud(m_client->cloudURL());
        confirm(save, savedText);
    });
    return card;
}

HomeCard *KivrenHome::buildBook()
{
    auto *card = new HomeCard;
    card->setObjectName(QStringLiteral("addressBook"));
    card->add(new Eyebrow(QStringLiteral("Address book")));
    auto *rows = new QWidget;
    m_bookRows = new QVBoxLayout(rows);
    m_bookRows->setContentsMargins(0, 0, 0, 0);
    card->add(rows, true);
    return card;
}

// Every keystroke writes the field's whole text into the client; a change made by the client
// shows at once. Setting only a differing text keeps the cursor where the user left it.
void KivrenHome::bind(KivrenField *field, QString (KivrenClient::*read)() const,
                      void (KivrenClient::*write)(const QString &),
                      void (KivrenClient::*changed)(const QString &))
{
    field->setText((m_client->*read)());
    connect(field, &QLineEdit::textEdited, this, [this, write](const QString &text) {
        if (m_client)
            (m_client.data()->*write)(text);
    });
    connect(m_client.data(), changed, field, [field](const QString &text) {
        if (field->text() != text)
            field->setText(text);
    });
}

void KivrenHome::showBook(const QList<BookEntry> &book)
{
    // The book is rebuilt whole on every change. Old rows hide at once and are deleted later,
    // which stays safe even while one of them is still handling its own click.
    while (QLayoutItem *item = m_bookRows->takeAt(0)) {
        if (QWidget *old = item->widget()) {
            old->hide();
            old->deleteLater();
        }
        delete item;
    }

    // Rows follow the client's order (newest first); nothing is sorted here.
    for (const BookEntry &entry : book) {
        auto *row = new BookRow(entry);
        connect(row, &BookRow::chosen, this, [this](const QString &id) {
            if (m_client)
                m_client->setRemoteId(KivrenIds::formatId(id));
        });
        connect(row, &BookRow::opened, this, &KivrenHome::openEntry);
        connect(row, &BookRow::renamed, this, [this](const QString &id, const QString &name) {
            if (m_client)
                m_client->renameBookEntry(id, name);
            focusBookRow(id);
        });
        connect(row, &BookRow::removed, this, [this](const QString &id) {
            if (m_client)
                m_client->removeBookEntry(id);
        });
        m_bookRows->addWidget(row);
    }

    // An empty book hides its card rather than showing an empty frame.
    m_book->setVisible(!book.isEmpty());
    // New rows join the Tab order where the card stands, not after the last control.
    if (m_cards)
        setTabOrderOfCards();
}

void KivrenHome::openEntry(const QString &id)
{
    if (!m_client || m_client->openBookEntry(id))
        return;
    // No password yet: the cursor waits where it goes, the status says what to type.
    m_remotePassword->setFocus(Qt::OtherFocusReason);
}

void KivrenHome::focusBookRow(const QString &id)
{
    // The book was rebuilt: the row of this ID is a new one.
    for (int i = 0; i < m_bookRows->count(); ++i) {
        if (auto *row = qobject_cast<BookRow *>(m_bookRows->itemAt(i)->widget()); row && row->entryId() == id)
            row->setFocus(Qt::OtherFocusReason);
    }
}

bool KivrenHome::isTwoColumns() const
{
    return m_twoColumns;
}

// One column when narrow; when wide, this computer on the left and the remote one, the book and
// the cloud address on the right, so that Connect shows without scrolling.
void KivrenHome::arrange(bool twoColumns)
{
    if (m_cards && twoColumns == m_twoColumns)
        return;
    m_twoColumns = twoColumns;
    if (m_cards) {
        m_column->removeItem(m_cards);
        // The cards stay: only the layouts holding them go.
        delete m_cards;
    }
    auto *left = new QVBoxLayout;
    auto *right = twoColumns ? new QVBoxLayout : left;
    for (QVBoxLayout *column : {left, right}) {
        column->setContentsMargins(0, 0, 0, 0);
        column->setSpacing(kColumnSpacing);
    }
    left->addWidget(m_thisDevice);
    // The book right under the form it fills; the cloud address is set once and then left.
    right->addWidget(m_remoteDevice);
    right->addWidget(m_book);
    right->addWidget(m_cloud);
    if (twoColumns) {
        auto *row = new QHBoxLayout;
        row->setSpacing(kColumnSpacing);
        left->addStretch(1);
        right->addStretch(1);
        row->addLayout(left, 1);
        row->addLayout(right, 1);
        m_cards = row;
    } else {
        left->addStretch(1);
        m_cards = left;
    }
    m_column->addLayout(m_cards, 1);
    // Tab goes through the cards in reading order either way.
    setTabOrderOfCards();
}

void KivrenHome::setTabOrderOfCards()
{
    QWidget *previous = nullptr;
    for (QWidget *card : {static_cast<QWidget *>(m_thisDevice), static_cast<QWidget *>(m_remoteDevice),
                          static_cast<QWidget *>(m_book), static_cast<QWidget *>(m_cloud)}) {
        for (QWidget *w : card->findChildren<QWidget *>()) {
            if (w->focusPolicy() & Qt::TabFocus) {
                if (previous)
                    QWidget::setTabOrder(previous, w);
                previous = w;
            }
        }
    }
}

void KivrenHome::resizeEvent(QResizeEvent *event)
{
    QScrollArea::resizeEvent(event);
    arrange(viewport()->width() >= kTwoColumnsFrom);
}

void KivrenHome::showViewerStatus()
{
    if (!m_client)
        return;
    m_viewerStatus->setText(m_client->status());
    setTextColour(m_viewerStatus, m_client->phase() == SessionPhase::failed ? KivrenTheme::danger()
                                                                          : KivrenTheme::muted());
}

void KivrenHome::setHostId(const std::optional<QString> &hostId)
{
    m_hostId->setText(hostId ? KivrenIds::formatId(*hostId) : QString());
    m_thisDevice->setVisible(hostId.has_value());
}

void KivrenHome::setHostPassword(const std::optional<QString> &hostPassword)
{
    m_hostPassword->setText(hostPassword.value_or(QString()));
    m_passwordCaption->setVisible(hostPassword.has_value());
    m_hostPassword->setVisible(hostPassword.has_value());
}

void KivrenHome::setHostStatus(const std::optional<QString> &hostStatus)
{
    m_hostStatus->setText(hostStatus.value_or(QString()));
    m_statusRow->setVisible(hostStatus.has_value());
}

void KivrenHome::setHostTone(StatusTone tone)
{
    m_statusDot->setPixmap(statusDot(tone));
}

void KivrenHome::setHostNotice(const std::optional<QString> &notice)
{
    m_hostNotice->setText(notice.value_or(QString()));
    m_hostNotice->setVisible(notice && !notice->isEmpty());
}

void KivrenHome::setHostSharingNote(const std::optional<QString> &note)
{
    m_sharingNote->setText(note.value_or(QString()));
    m_sharingNote->setVisible(note && !note->isEmpty());
}

void KivrenHome::setHostAccessAction(const std::optional<QString> &label)
{
    m_accessButton->setText(label.value_or(QString()));
    m_accessRow->setVisible(label && !label->isEmpty());
}

void KivrenHome::setStartAtLogin(std::optional<bool> on)
{
    m_startAtLogin->setChecked(on.value_or(false));
    m_startAtLogin->setVisible(on.has_value());
}

void KivrenHome::setKeepHosting(std::optional<bool> on)
{
    m_keepHosting->setChecked(on.value_or(false));
    m_keepHosting->setVisible(on.has_value());
}

void KivrenHome::setEncryptedOnly(std::optional<bool> on)
{
    m_encryptedOnly->setChecked(on.value_or(false));
    m_encryptedOnly->setVisible(on.has_value());
}

void KivrenHome::setRunNote(const std::optional<QString> &note, StatusTone tone)
{
    m_runNote->setText(note.value_or(QString()));
    setTextColour(m_runNote, tone == StatusTone::ok ? KivrenTheme::muted() : toneColour(tone));
    m_runNote->setVisible(note && !note->isEmpty());
    m_runRow->setVisible(!m_runNote->isHidden() || !m_quit->isHidden());
}

void KivrenHome::setOnQuit(Action action)
{
    m_onQuit = std::move(action);
    m_quit->setVisible(static_cast<bool>(m_onQuit));
    m_runRow->setVisible(!m_runNote->isHidden() || !m_quit->isHidden());
}

QString KivrenHome::defaultHint()
{
    return PlatformWording::saveCloudHint();
}

void KivrenHome::setCloudHint(const std::optional<QString> &cloudHint)
{
    m_hint->setText(cloudHint.value_or(defaultHint()));
}

void KivrenHome::setOnNewPass(Action action)
{
    m_onNewPass = std::move(action);
    m_newPass->setVisible(static_cast<bool>(m_onNewPass));
}
