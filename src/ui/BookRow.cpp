#include "BookRow.h"

#include "KivrenField.h"
#include "KivrenIds.h"
#include "KivrenTheme.h"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QVBoxLayout>

namespace {

constexpr int kInset = 8;
constexpr qreal kRadius = 8;

QLabel *line(const QString &text, const QFont &font, const QColor &colour)
{
    auto *l = new QLabel(text);
    // Names come from other machines: never interpreted as markup.
    l->setTextFormat(Qt::PlainText);
    l->setForegroundRole(QPalette::WindowText);
    l->setFont(font);
    QPalette p = l->palette();
    p.setColor(QPalette::WindowText, colour);
    l->setPalette(p);
    l->setAttribute(Qt::WA_TransparentForMouseEvents);
    return l;
}

} // namespace

BookRow::BookRow(const BookEntry &entry, QWidget *parent)
    : QPushButton(parent)
    , m_id(entry.id)
    , m_name(entry.name)
{
    setObjectName(QStringLiteral("bookRow"));
    setProperty("entryId", entry.id);
    setFocusPolicy(Qt::StrongFocus);
    const QString formattedId = KivrenIds::formatId(entry.id);
    setAccessibleName(QStringLiteral("%1, ID %2").arg(entry.name, formattedId));
    setAccessibleDescription(QStringLiteral("Enter or double click connects; F2 renames; Delete removes"));
    setToolTip(QStringLiteral("Double click to connect"));

    auto *lines = new QVBoxLayout(this);
    lines->setContentsMargins(kInset + 4, kInset, kInset + 4, kInset);
    m_nameLabel = line(entry.name, KivrenTheme::applicationFont(), KivrenTheme::fg());
    m_nameLabel->setObjectName(QStringLiteral("bookName"));
    lines->addWidget(m_nameLabel);
    lines->addWidget(line(formattedId, KivrenTheme::monoFont(12), KivrenTheme::muted()));

    m_editor = new KivrenField(QString(), this);
    m_editor->setObjectName(QStringLiteral("bookRename"));
    m_editor->setAccessibleName(QStringLiteral("New name for %1").arg(formattedId));
    m_editor->hide();
    connect(m_editor, &QLineEdit::returnPressed, this, [this] { finishRename(true); });
    connect(m_editor, &QLineEdit::editingFinished, this, [this] { finishRename(false); });

    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setFixedHeight(std::max(lines->sizeHint().height(), KivrenField::kMinHeight));
    connect(this, &QAbstractButton::clicked, this, [this] { emit chosen(m_id); });
}

void BookRow::startRename()
{
    m_editor->setGeometry(rect());
    m_editor->setText(m_name);
    m_editor->selectAll();
    m_editor->show();
    m_editor->raise();
    m_editor->setFocus(Qt::OtherFocusReason);
}

void BookRow::finishRename(bool keep)
{
    if (m_editor->isHidden())
        return;
    const QString name = m_editor->text().trimmed();
    m_editor->hide();
    setFocus(Qt::OtherFocusReason);
    if (keep && !name.isEmpty() && name != m_name)
        emit renamed(m_id, name);
}

void BookRow::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton) {
        emit opened(m_id);
        return;
    }
    QPushButton::mouseDoubleClickEvent(event);
}

void BookRow::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        emit opened(m_id);
        return;
    case Qt::Key_F2:
        startRename();
        return;
    case Qt::Key_Delete:
        emit removed(m_id);
        return;
    case Qt::Key_Escape:
        if (!m_editor->isHidden()) {
            m_editor->hide();
            setFocus(Qt::OtherFocusReason);
            return;
        }
        break;
    default:
        break;
    }
    QPushButton::keyPressEvent(event);
}

void BookRow::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu menu(this);
    QAction *rename = menu.addAction(renameText);
    QAction *remove = menu.addAction(removeText);
    QAction *picked = menu.exec(event->globalPos());
    // The row may be rebuilt while the menu was open: act through the ID alone.
    if (picked == rename)
        startRename();
    else if (picked == remove)
        emit removed(m_id);
}

void BookRow::paintEvent(QPaintEvent *event)
{
    QPushButton::paintEvent(event);
    if (hasFocus()) {
        QPainter painter(this);
        KivrenTheme::drawFocusRing(painter, QRectF(rect()), kRadius);
    }
}
