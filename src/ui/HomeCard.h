#pragma once

#include <QWidget>

class QVBoxLayout;

// The frame every card of the home screen goes through: content stacked 10 apart, inset 20
// on all sides, on the surface colour with a thin outline, corners continuous at radius 24.
class HomeCard : public QWidget
{
    Q_OBJECT

public:
    static constexpr int kInset = 20;
    static constexpr int kSpacing = 10;
    static constexpr qreal kRadius = 24;

    explicit HomeCard(QWidget *parent = nullptr);

    // Adds one item; `stretch` items take the full content width, the others sit left.
    void add(QWidget *item, bool stretch = false);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QVBoxLayout *m_content;
};
