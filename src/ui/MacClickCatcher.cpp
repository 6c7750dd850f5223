#include "MacClickCatcher.h"

#include <QResizeEvent>

MacClickCatcher::MacClickCatcher(ClickView::Sink sink, QWidget *parent)
    : QWidget(parent)
    , m_clickView(new ClickView(std::move(sink), this))
{
    m_clickView->setGeometry(rect());
}

void MacClickCatcher::setSink(ClickView::Sink sink)
{
    m_clickView->setSink(std::move(sink));
}

void MacClickCatcher::setPictureSize(QSizeF size)
{
    m_clickView->setPictureSize(size);
}

void MacClickCatcher::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_clickView->setGeometry(QRect(QPoint(0, 0), event->size()));
}
