#pragma once

#include "ClickView.h"

#include <QWidget>

// Holds the one click view of a picture area, sized to the whole area, and keeps the click
// view's sink and the size of the picture it maps clicks onto current.
class MacClickCatcher : public QWidget
{
    Q_OBJECT

public:
    explicit MacClickCatcher(ClickView::Sink sink, QWidget *parent = nullptr);

    ClickView *clickView() const { return m_clickView; }
    void setSink(ClickView::Sink sink);

public slots:
    void setPictureSize(QSizeF size);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    ClickView *m_clickView; // child
};
