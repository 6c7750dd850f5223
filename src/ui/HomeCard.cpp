#include "HomeCard.h"

#include "ContinuousCorners.h"
#include "KivrenTheme.h"

#include <QPainter>
#include <QVBoxLayout>

HomeCard::HomeCard(QWidget *parent)
    : QWidget(parent)
    , m_content(new QVBoxLayout(this))
{
    m_content->setContentsMargins(kInset, kInset, kInset, kInset);
    m_content->setSpacing(kSpacing);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Maximum);
}

void HomeCard::add(QWidget *item, bool stretch)
{
    if (stretch)
        m_content->addWidget(item);
    else
        m_content->addWidget(item, 0, Qt::AlignLeft);
}

void HomeCard::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPainterPath shape = ContinuousCorners::roundedRect(QRectF(rect()), kRadius);
    painter.setClipPath(shape);
    painter.fillPath(shape, KivrenTheme::surface());
    QPen outline(KivrenTheme::border(), 1.0, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    outline.setMiterLimit(10);
    painter.strokePath(shape, outline);
}
