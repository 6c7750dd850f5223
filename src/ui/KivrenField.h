#pragma once

#include <QLineEdit>

// A text field on the window background: dark fill, thin outline with continuous corners,
// 48 high, text 12 in from either side. Font and text colour stay the field's own.
class KivrenField : public QLineEdit
{
    Q_OBJECT

public:
    static constexpr int kMinHeight = 48;
    static constexpr int kSideInset = 12;
    static constexpr qreal kRadius = 8;

    explicit KivrenField(const QString &placeholder = {}, QWidget *parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
};
