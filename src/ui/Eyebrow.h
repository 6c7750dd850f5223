#pragma once

#include <QLabel>

// The small upper-case caption that titles every card.
class Eyebrow : public QLabel
{
    Q_OBJECT
    Q_PROPERTY(QString caption READ caption WRITE setCaption NOTIFY captionChanged)

public:
    explicit Eyebrow(const QString &caption = {}, QWidget *parent = nullptr);

    // The caption as given; the label shows it upper-cased.
    QString caption() const { return m_caption; }
    void setCaption(const QString &caption);

    // An empty caption takes no width.
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    void captionChanged();

private:
    QString m_caption;
};
