#include "ConnectionPromptDialog.h"

#include "KivrenGhost.h"
#include "KivrenPrimary.h"
#include "KivrenTheme.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace {

constexpr int kInset = 20;
constexpr int kWidth = 420;

} // namespace

ConnectionPromptDialog::ConnectionPromptDialog(const QString &question, std::chrono::milliseconds answerWithin,
                                               Action onAllow, Action onRefuse, QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("connectionPrompt"));
    setWindowTitle(QStringLiteral("Someone wants to connect"));
    setPalette(KivrenTheme::palette());
    setAutoFillBackground(true);
    setMinimumWidth(kWidth);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(kInset, kInset, kInset, kInset);
    layout->setSpacing(12);

    auto *text = new QLabel(question);
    text->setObjectName(QStringLiteral("promptQuestion"));
    // The name and platform are the viewer's own words: never markup.
    text->setTextFormat(Qt::PlainText);
    text->setWordWrap(true);
    text->setFont(KivrenTheme::font(15, QFont::DemiBold));
    layout->addWidget(text);

    auto *note = new QLabel(timeWords(answerWithin));
    note->setTextFormat(Qt::PlainText);
    note->setWordWrap(true);
    note->setFont(KivrenTheme::font(13));
    QPalette muted = note->palette();
    muted.setColor(QPalette::WindowText, KivrenTheme::muted());
    note->setPalette(muted);
    layout->addWidget(note);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    auto *refuse = new KivrenGhost(QStringLiteral("Refuse"));
    refuse->setObjectName(QStringLiteral("refuseViewer"));
    auto *allow = new KivrenPrimary(QStringLiteral("Allow"));
    allow->setObjectName(QStringLiteral("allowViewer"));
    buttons->addWidget(refuse);
    buttons->addWidget(allow);
    layout->addLayout(buttons);

    // Refuse has the focus: Enter pressed by chance lets nobody in.
    refuse->setFocus();
    connect(allow, &QAbstractButton::clicked, this, [this, onAllow] {
        accept();
        if (onAllow)
            onAllow();
    });
    connect(refuse, &QAbstractButton::clicked, this, [this, onRefuse] {
        reject();
        if (onRefuse)
            onRefuse();
    });
}

QString ConnectionPromptDialog::timeWords(std::chrono::milliseconds answerWithin)
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(answerWithin).count();
    return QStringLiteral("Without an answer within %1 seconds, the connection is refused.").arg(seconds);
}
