#include "HostControls.h"

#include "Eyebrow.h"
#include "KivrenGhost.h"
#include "KivrenTheme.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QScrollArea>
#include <QVBoxLayout>

namespace {

constexpr qreal kTextSize = 13;
constexpr int kLogHeight = 160;

QLabel *plainLabel(const QString &text, const QColor &colour)
{
    auto *l = new QLabel(text);
    // Names and addresses come from other machines: never markup.
    l->setTextFormat(Qt::PlainText);
    l->setFont(KivrenTheme::font(kTextSize));
    l->setWordWrap(true);
    QPalette p = l->palette();
    p.setColor(QPalette::WindowText, colour);
    l->setPalette(p);
    return l;
}

// Removes every row; they go once the event loop comes round, so a row's own click may finish.
void clearRows(QVBoxLayout *rows)
{
    while (QLayoutItem *item = rows->takeAt(0)) {
        if (QWidget *old = item->widget()) {
            old->hide();
            old->deleteLater();
        }
        delete item;
    }
}

QString whoWords(const std::optional<QString> &name, const std::optional<QString> &platform)
{
    QString who = name && !name->isEmpty() ? *name : QStringLiteral("A viewer without a name");
    if (platform && !platform->isEmpty())
        who += QStringLiteral(" (%1)").arg(*platform);
    return who;
}

} // namespace

HostControls::HostControls(QWidget *parent)
    : QWidget(parent)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 8, 0, 0);
    layout->setSpacing(8);

    auto *modeRow = new QHBoxLayout;
    modeRow->setSpacing(8);
    modeRow->addWidget(plainLabel(QStringLiteral("When someone connects"), KivrenTheme::muted()), 0);
    m_askMode = new QComboBox;
    m_askMode->setObjectName(QStringLiteral("askMode"));
    m_askMode->setAccessibleName(QStringLiteral("When someone connects"));
    m_askMode->addItems({allowWithPassword, askEachTime});
    m_askMode->setFont(KivrenTheme::font(kTextSize));
    modeRow->addWidget(m_askMode, 0);
    modeRow->addStretch(1);
    layout->addLayout(modeRow);
    // Only the person's own choice goes on; setAskFirst shows what was taken.
    connect(m_askMode, &QComboBox::activated, this, [this](int index) {
        if (m_onAskFirst)
            m_onAskFirst(index == 1);
    });

    m_lockoutRow = new QWidget;
    auto *lockoutLayout = new QHBoxLayout(m_lockoutRow);
    lockoutLayout->setContentsMargins(0, 0, 0, 0);
    lockoutLayout->setSpacing(8);
    m_lockoutNote = plainLabel({}, KivrenTheme::warning());
    m_lockoutNote->setObjectName(QStringLiteral("lockoutNote"));
    lockoutLayout->addWidget(m_lockoutNote, 1);
    m_liftLockout = new KivrenGhost(QStringLiteral("Allow connections again"));
    m_liftLockout->setObjectName(QStringLiteral("liftLockout"));
    lockoutLayout->addWidget(m_liftLockout, 0, Qt::AlignVCenter);
    layout->addWidget(m_lockoutRow);
    connect(m_liftLockout, &QAbstractButton::clicked, this, [this] {
        if (m_onLiftLockout)
            m_onLiftLockout();
    });

    m_sessionsBox = new QWidget;
    m_sessionsBox->setObjectName(QStringLiteral("liveSessions"));
    auto *sessionsLayout = new QVBoxLayout(m_sessionsBox);
    sessionsLayout->setContentsMargins(0, 0, 0, 0);
    sessionsLayout->setSpacing(6);
    sessionsLayout->addWidget(new Eyebrow(QStringLiteral("Connected now")));
    m_sessionRows = new QVBoxLayout;
    m_sessionRows->setSpacing(6);
    sessionsLayout->addLayout(m_sessionRows);
    layout->addWidget(m_sessionsBox);

    m_attemptsBox = new QWidget;
    auto *attemptsLayout = new QVBoxLayout(m_attemptsBox);
    attemptsLayout->setContentsMargins(0, 0, 0, 0);
    attemptsLayout->setSpacing(6);
    attemptsLayout->addWidget(new Eyebrow(QStringLiteral("Attempts to connect")));
    auto *scroll = new QScrollArea;
    scroll->setObjectName(QStringLiteral("attemptLog"));
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setMaximumHeight(kLogHeight);
    auto *logContent = new QWidget;
    m_attemptRows = new QVBoxLayout(logContent);
    m_attemptRows->setContentsMargins(0, 0, 0, 0);
    m_attemptRows->setSpacing(2);
    scroll->setWidget(logContent);
    attemptsLayout->addWidget(scroll);
    layout->addWidget(m_attemptsBox);

    setAskFirst(false);
    setLockoutNote({});
    setSessions({});
    setAttempts({});
}

void HostControls::setAskFirst(bool askFirst)
{
    m_askMode->setCurrentIndex(askFirst ? 1 : 0);
}

void HostControls::setLockoutNote(const QString &note)
{
    m_lockoutNote->setText(note);
    m_lockoutRow->setVisible(!note.isEmpty());
}

void HostControls::setSessions(const QList<LiveSession> &sessions)
{
    clearRows(m_sessionRows);
    for (const LiveSession &session : sessions) {
        auto *row = new QWidget;
        row->setObjectName(QStringLiteral("liveSession"));
        auto *rowLayout = new QHBoxLayout(row);
        rowLayout->setContentsMargins(0, 0, 0, 0);
        rowLayout->setSpacing(8);
        rowLayout->addWidget(plainLabel(sessionWords(session), KivrenTheme::fg()), 1);
        auto *viewOnly = new KivrenGhost(session.viewOnly ? QStringLiteral("Allow control") : QStringLiteral("View only"));
        viewOnly->setObjectName(QStringLiteral("viewOnly"));
        rowLayout->addWidget(viewOnly, 0, Qt::AlignVCenter);
        auto *end = new KivrenGhost(QStringLiteral("End"));
        end->setObjectName(QStringLiteral("endSession"));
        end->setAccessibleDescription(QStringLiteral("Ends this viewer's session"));
        rowLayout->addWidget(end, 0, Qt::AlignVCenter);
        const QString id = session.sessionId;
        const bool on = !session.viewOnly;
        connect(viewOnly, &QAbstractButton::clicked, this, [this, id, on] {
            if (m_onViewOnly)
                m_onViewOnly(id, on);
        });
        connect(end, &QAbstractButton::clicked, this, [this, id] {
            if (m_onEnd)
                m_onEnd(id);
        });
        m_sessionRows->addWidget(row);
    }
    m_sessionsBox->setVisible(!sessions.isEmpty());
}

void HostControls::setAttempts(const QList<AttemptLog::Entry> &attempts)
{
    clearRows(m_attemptRows);
    qsizetype shown = 0;
    for (auto entry = attempts.crbegin(); entry != attempts.crend() && shown < attemptsShown; ++entry, ++shown) {
        QLabel *row = plainLabel(attemptWords(*entry), KivrenTheme::muted());
        row->setObjectName(QStringLiteral("attempt"));
        m_attemptRows->addWidget(row);
    }
    m_attemptRows->addStretch(1);
    m_attemptsBox->setVisible(!attempts.isEmpty());
}

QString HostControls::sessionWords(const LiveSession &session)
{
    const QString since = QLocale().toString(session.since.toLocalTime().time(), QLocale::ShortFormat);
    QStringList parts{whoWords(session.clientName, session.clientPlatform), QStringLiteral("since %1").arg(since)};
    if (session.clientAddress && !session.clientAddress->isEmpty())
        parts << QStringLiteral("from %1").arg(*session.clientAddress);
    parts << (session.encrypted ? QStringLiteral("Encrypted") : QStringLiteral("Not encrypted"));
    if (session.viewOnly)
        parts << QStringLiteral("View only");
    return parts.join(QStringLiteral(" \u00B7 "));
}

QString HostControls::attemptWords(const AttemptLog::Entry &entry)
{
    const QString at = QLocale().toString(entry.at.toLocalTime(), QLocale::ShortFormat);
    QStringList parts{at, whoWords(entry.clientName, entry.clientPlatform)};
    if (entry.clientAddress && !entry.clientAddress->isEmpty())
        parts << QStringLiteral("from %1").arg(*entry.clientAddress);
    parts << AttemptLog::outcomeWords(entry.outcome);
    return parts.join(QStringLiteral(" \u00B7 "));
}
