#pragma once

#include "MarkGeometry.h"

#include <QWidget>

// The drawn logo: a rounded square frame, a smaller frame nudged up-left and a solid play
// triangle nudged down-right, all in the accent colour.
class KivrenMark : public QWidget
{
    Q_OBJECT

public:
    explicit KivrenMark(qreal size = 40, QWidget *parent = nullptr);

    const MarkGeometry &markGeometry() const { return m_geometry; }
    // The solid right-pointing triangle standing in for the play glyph at its font size.
    static QPolygonF playTriangle(const MarkGeometry &geometry);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    MarkGeometry m_geometry;
};
