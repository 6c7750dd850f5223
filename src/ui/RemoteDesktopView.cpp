#include "RemoteDesktopView.h"

#include "KivrenClient.h"
#include "KivrenGhost.h"
#include "KivrenTheme.h"
#include "MacClickCatcher.h"
#include "RemotePicture.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

RemoteDesktopView::RemoteDesktopView(KivrenClient &client, ClickView::Sink sink, QWidget *parent)
    : QWidget(parent)
    , m_client(&client)
{
    setAutoFillBackground(true);
    setPalette(KivrenTheme::palette());

    if (!sink) {
        QPointer<KivrenClient> target = &client;
        sink = [target](const RemoteInput &input) {
            if (target)
                target->send(input);
        };
    }

    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    // The bar: "End" and the status at the left, spanning the full width.
    auto *bar = new QHBoxLayout;
    bar->setContentsMargins(kBarInset, kBarInset, kBarInset, kBarInset);
    m_end = new KivrenGhost(QStringLiteral("End"));
    m_status = new QLabel(client.status());
    // The status may carry the switchboard's own error text: shown as it is, never as markup.
    m_status->setTextFormat(Qt::PlainText);
    QPalette statusPalette = m_status->palette();
    statusPalette.setColor(QPalette::WindowText, KivrenTheme::muted());
    m_status->setPalette(statusPalette);
    bar->addWidget(m_end, 0, Qt::AlignVCenter);
    bar->addWidget(m_status, 0, Qt::AlignVCenter);
    bar->addStretch(1);
    column->addLayout(bar);

    // The picture area: the picture on top lets every mouse event through to the click catcher
    // underneath. Both fill the area exactly and the click view knows the picture's size, so it
    // measures a click over the picture where it is drawn.
    m_area = new QWidget;
    auto *layers = new QGridLayout(m_area);
    layers->setContentsMargins(0, 0, 0, 0);
    layers->setSpacing(0);
    m_catcher = new MacClickCatcher(std::move(sink));
    m_picture = new RemotePicture;
    connect(m_picture, &RemotePicture::imageSizeChanged, m_catcher, &MacClickCatcher::setPictureSize);
    m_picture->setImage(client.frame());
    layers->addWidget(m_catcher, 0, 0);
    layers->addWidget(m_picture, 0, 0);
    m_picture->raise();
    column->addWidget(m_area, 1);

    connect(m_end, &QAbstractButton::clicked, this, [this] {
        if (m_client)
            m_client->disconnectFromRemote();
    });
    connect(&client, &KivrenClient::statusChanged, m_status, &QLabel::setText);
    connect(&client, &KivrenClient::frameChanged, m_picture, &RemotePicture::setImage);
}

ClickView *RemoteDesktopView::clickView() const
{
    return m_catcher->clickView();
}
