#include "KivrenField.h"

#include "ContinuousCorners.h"
#include "KivrenTheme.h"

#include <QPainter>

namespace {
// QLineEdit keeps a fixed 2-pixel gap of its own between the text margins and the text.
constexpr int kLineEditOwnGap = 2;
} // namespace

KivrenField::KivrenField(const QString &placeholder, QWidget *parent)
    : QLineEdit(parent)
{
    setPlaceholderText(placeholder);
    setFrame(false);
    setTextMargins(kSideInset - kLineEditOwnGap, 0, kSideInset - kLineEditOwnGap, 0);
    setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // The shape is painted here; the line edit's own panel must not cover it.
    QPalette p = palette();
    p.setColor(QPalette::Base, Qt::transparent);
    setPalette(p);
    setAttribute(Qt::WA_MacShowFocusRect, false);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QSize KivrenField::sizeHint() const
{
    QSize hint = QLineEdit::sizeHint();
    hint.setHeight(std::max(kMinHeight, hint.height()));
    return hint;
}

QSize KivrenField::minimumSizeHint() const
{
    QSize hint = QLineEdit::minimumSizeHint();
    hint.setHeight(std::max(kMinHeight, hint.height()));
    return hint;
}

void KivrenField::paintEvent(QPaintEvent *event)
{
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QPainterPath shape = ContinuousCorners::roundedRect(QRectF(rect()), kRadius);
        painter.setClipPath(shape);
        painter.fillPath(shape, KivrenTheme::bg());
        QPen outline(KivrenTheme::border(), 1.0, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
        outline.setMiterLimit(10);
        painter.strokePath(shape, outline);
        if (hasFocus())
            KivrenTheme::drawFocusRing(painter, QRectF(rect()), kRadius);
    }
    QLineEdit::paintEvent(event);
}
