#pragma once

#include <QAbstractButton>

// A secondary action: a dark outlined button, 44 high, as wide as its label plus 14 on
// each side. Held down it only shrinks to 98 %.
class KivrenGhost : public QAbstractButton
{
    Q_OBJECT

public:
    static constexpr int kMinHeight = 44;
    static constexpr int kSideInset = 14;
    static constexpr qreal kRadius = 8;

    explicit KivrenGhost(const QString &text = {}, QWidget *parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
};
