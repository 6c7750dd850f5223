#include "Eyebrow.h"

#include "KivrenTheme.h"

namespace {
constexpr qreal kPixelSize = 11;
constexpr qreal kTracking = 1.2;
} // namespace

Eyebrow::Eyebrow(const QString &caption, QWidget *parent)
    : QLabel(parent)
{
    QFont f = KivrenTheme::font(kPixelSize, QFont::DemiBold);
    f.setLetterSpacing(QFont::AbsoluteSpacing, kTracking);
    setFont(f);
    QPalette p = palette();
    p.setColor(QPalette::WindowText, KivrenTheme::muted());
    setPalette(p);
    setMargin(0);
    setTextFormat(Qt::PlainText);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setCaption(caption);
}

void Eyebrow::setCaption(const QString &caption)
{
    if (caption == m_caption && !text().isNull())
        return;
    m_caption = caption;
    setText(caption.toUpper());
    emit captionChanged();
}

QSize Eyebrow::sizeHint() const
{
    QSize hint = QLabel::sizeHint();
    if (m_caption.isEmpty())
        hint.setWidth(0);
    return hint;
}

QSize Eyebrow::minimumSizeHint() const
{
    return sizeHint();
}
