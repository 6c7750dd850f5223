#pragma once

#include <QAbstractButton>

// The one main action of a card: a light, full-width button 48 high with dark text.
// While held down its fill lets 14 % of the background through and it shrinks to 98 %.
class KivrenPrimary : public QAbstractButton
{
    Q_OBJECT

public:
    static constexpr int kMinHeight = 48;
    static constexpr qreal kRadius = 8;
    static constexpr qreal kPressedOpacity = 0.86;

    explicit KivrenPrimary(const QString &text = {}, QWidget *parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
};
