#include "RemoteDesktopView.h"

#include "KivrenClient.h"
#include "KivrenGhost.h"
#include "KivrenTheme.h"
#include "MacClickCatcher.h"
#include "RemotePicture.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QHideEvent>
#include <QLabel>
#include <QScrollArea>
#include <QShortcut>
#include <QVBoxLayout>

RemoteDesktopView::RemoteDesktopView(KivrenClient &client, ClickView::Sink sink, QWidget *parent)
    : QWidget(parent)
    , m_client(&client)
{
    setAutoFillBackground(true);
    setPalette(KivrenTheme::palette());

    if (!sink) {
        QPointer<KivrenClient> target = &client;
        sink = [target](const SessionProtocol::ViewerMessage &message) {
            if (!target)
                return;
            if (const auto *input = std::get_if<SessionProtocol::Input>(&message))
                target->send(input->event);
            else if (const auto *key = std::get_if<SessionProtocol::Key>(&message))
                target->sendKey(*key);
            else if (const auto *text = std::get_if<SessionProtocol::Text>(&message))
                target->sendText(text->text);
        };
    }

    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    // The bar: "End", the keyboard button and the status at the left, spanning the full width.
    auto *bar = new QHBoxLayout;
    bar->setContentsMargins(kBarInset, kBarInset, kBarInset, kBarInset);
    m_end = new KivrenGhost(QStringLiteral("End"));
    m_end->setAccessibleDescription(QStringLiteral("Ends the session with the remote computer"));
    m_keyboard = new KivrenGhost(takeKeyboardText);
    m_keyboard->setToolTip(QStringLiteral("Ctrl+Alt+Shift+Esc also releases the keyboard"));
    // Clicking it must not move the focus itself: it says where the keyboard goes.
    m_keyboard->setFocusPolicy(Qt::NoFocus);
    m_keyboard->setAccessibleDescription(QStringLiteral("Whether the keys typed go to the remote computer or stay here"));
    m_fullScreen = new KivrenGhost(fullScreenText);
    m_fullScreen->setToolTip(QStringLiteral("F11, or Ctrl+Alt+Shift+Esc, leaves full screen"));
    m_fullScreen->setAccessibleDescription(QStringLiteral("Shows the remote screen on the whole screen"));
    // Like the keyboard button: a click leaves the keyboard where it was.
    m_fullScreen->setFocusPolicy(Qt::NoFocus);
    m_scale = new KivrenGhost(actualSizeText);
    m_scale->setAccessibleDescription(QStringLiteral("Shows the remote screen fitted into the window, or at its own size with scroll bars"));
    m_scale->setFocusPolicy(Qt::NoFocus);
    m_status = new QLabel(client.status());
    // The status may carry the switchboard's own error text: shown as it is, never as markup.
    m_status->setTextFormat(Qt::PlainText);
    m_status->setAccessibleName(QStringLiteral("Connection status"));
    QPalette statusPalette = m_status->palette();
    statusPalette.setColor(QPalette::WindowText, KivrenTheme::muted());
    m_status->setPalette(statusPalette);
    bar->addWidget(m_end, 0, Qt::AlignVCenter);
    // Apart from its neighbours by the bar's own inset, so the two buttons do not read as one.
    bar->addSpacing(kBarInset);
    bar->addWidget(m_keyboard, 0, Qt::AlignVCenter);
    bar->addSpacing(kBarInset);
    bar->addWidget(m_fullScreen, 0, Qt::AlignVCenter);
    bar->addSpacing(kBarInset);
    bar->addWidget(m_scale, 0, Qt::AlignVCenter);
    bar->addSpacing(kBarInset);
    bar->addWidget(m_status, 0, Qt::AlignVCenter);
    bar->addStretch(1);
    // Whether the session is encrypted end to end: a lock and the word, or plainly not.
    m_encryption = new QLabel(encryptionText(client.encrypted()));
    m_encryption->setTextFormat(Qt::PlainText);
    m_encryption->setAccessibleName(QStringLiteral("Encryption"));
    m_encryption->setPalette(statusPalette);
    bar->addWidget(m_encryption, 0, Qt::AlignVCenter);
    connect(&client, &KivrenClient::encryptedChanged, m_encryption,
            [label = m_encryption](bool encrypted) { label->setText(encryptionText(encrypted)); });
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
    m_picture->setStale(client.pictureStale());
    m_picture->setRemoteSize(client.remoteSize());
    m_picture->setPointer(client.remotePointer());
    layers->addWidget(m_catcher, 0, 0);
    layers->addWidget(m_picture, 0, 0);
    m_picture->raise();
    // Fitted, the area fills the scroll area's view; at its own size it is as large as the host's
    // display and scrolls, centred while it is smaller than the view.
    m_scroll = new QScrollArea;
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setAlignment(Qt::AlignCenter);
    m_scroll->setFocusPolicy(Qt::NoFocus);
    m_scroll->setWidgetResizable(true);
    m_scroll->setWidget(m_area);
    m_scroll->viewport()->setAutoFillBackground(true);
    m_scroll->viewport()->setPalette(KivrenTheme::palette());
    column->addWidget(m_scroll, 1);

    connect(m_end, &QAbstractButton::clicked, this, [this] {
        if (m_client)
            m_client->disconnectFromRemote();
    });
    ClickView *surface = clickView();
    surface->setAccessibleName(QStringLiteral("Remote screen"));
    surface->setAccessibleDescription(QStringLiteral("The remote computer's screen: the pointer and, once taken, the keyboard act on it"));
    connect(m_keyboard, &QAbstractButton::clicked, surface, [surface] {
        if (surface->keyboardTaken())
            surface->returnKeyboard();
        else
            surface->takeKeyboard();
    });
    // The surface may lose the focus while this view is being torn down: the lambda holds only
    // the button, and the connection goes with it.
    connect(surface, &ClickView::keyboardTakenChanged, m_keyboard, [button = m_keyboard](bool taken) {
        button->setText(taken ? releaseKeyboardText : takeKeyboardText);
    });
    connect(&client, &KivrenClient::statusChanged, m_status, &QLabel::setText);

    // F11 and the chord reach these shortcuts only while the keyboard is here: while the picture
    // has it, F11 is the remote machine's, and the chord arrives through the picture.
    connect(m_fullScreen, &QAbstractButton::clicked, this, [this] { setFullScreen(!window()->isFullScreen()); });
    auto *f11 = new QShortcut(QKeySequence(Qt::Key_F11), this, nullptr, nullptr, Qt::WindowShortcut);
    connect(f11, &QShortcut::activated, this, [this] { setFullScreen(!window()->isFullScreen()); });
    auto *chord = new QShortcut(QKeySequence(Qt::CTRL | Qt::ALT | Qt::SHIFT | Qt::Key_Escape), this, nullptr, nullptr,
                                Qt::WindowShortcut);
    connect(chord, &QShortcut::activated, this, [this] { setFullScreen(false); });
    connect(surface, &ClickView::releaseChordPressed, this, [this] { setFullScreen(false); });
    connect(&client, &KivrenClient::frameRedrawn, m_picture, &RemotePicture::updateImage);
    connect(&client, &KivrenClient::pictureStaleChanged, m_picture, &RemotePicture::setStale);
    connect(&client, &KivrenClient::remoteSizeChanged, m_picture, &RemotePicture::setRemoteSize);
    connect(&client, &KivrenClient::remoteSizeChanged, this, &RemoteDesktopView::applyScale);
    connect(m_picture, &RemotePicture::imageSizeChanged, this, &RemoteDesktopView::applyScale);
    connect(m_scale, &QAbstractButton::clicked, this, [this] {
        setScaleMode(m_scaleMode == PictureScale::Mode::fit ? PictureScale::Mode::actualSize : PictureScale::Mode::fit);
    });
    connect(&client, &KivrenClient::remotePointerChanged, m_picture, &RemotePicture::setPointer);
}

void RemoteDesktopView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // Shown means the user is about to work on the remote machine.
    clickView()->takeKeyboard();
}

void RemoteDesktopView::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    // A minimised window hides its views too (spontaneously): that is no reason to leave.
    if (!event->spontaneous())
        setFullScreen(false);
}

void RemoteDesktopView::setFullScreen(bool on)
{
    QWidget *top = window();
    if (on && !top->isFullScreen()) {
        m_stateBeforeFullScreen = top->windowState();
        top->showFullScreen();
    } else if (!on && top->isFullScreen()) {
        top->setWindowState(m_stateBeforeFullScreen & ~Qt::WindowFullScreen);
        top->show();
    }
    m_fullScreen->setText(top->isFullScreen() ? leaveFullScreenText : fullScreenText);
}

void RemoteDesktopView::setScaleMode(PictureScale::Mode mode)
{
    m_scaleMode = mode;
    m_scale->setText(mode == PictureScale::Mode::fit ? actualSizeText : fitText);
    applyScale();
}

void RemoteDesktopView::applyScale()
{
    if (m_scaleMode == PictureScale::Mode::fit) {
        m_scroll->setWidgetResizable(true);
        return;
    }
    m_scroll->setWidgetResizable(false);
    const QSizeF remote = m_client ? m_client->remoteSize() : QSizeF();
    m_area->resize(PictureScale::actualSize(remote, QSizeF(m_picture->image().size())));
}

ClickView *RemoteDesktopView::clickView() const
{
    return m_catcher->clickView();
}
