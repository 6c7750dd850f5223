#pragma once

#include "ClickView.h"
#include "PictureScale.h"

#include <QPointer>
#include <QWidget>

class KivrenClient;
class KivrenGhost;
class MacClickCatcher;
class QLabel;
class QScrollArea;
class RemotePicture;

// The window's content while the viewer is live: a bar with "End", the keyboard, full screen and
// scale buttons and the viewer's status, and below it the remote picture (fitted, or at the
// host display's own size with scroll bars: PictureScale), where the pointer, the wheel and (while the
// picture has focus) the keyboard act on the remote machine. The picture takes the keyboard
// when shown and when clicked; the keyboard button or Ctrl+Alt+Shift+Escape gives it back.
class RemoteDesktopView : public QWidget
{
    Q_OBJECT

public:
    static constexpr int kBarInset = 10;
    static inline const QString releaseKeyboardText = QStringLiteral("Release keyboard");
    static inline const QString takeKeyboardText = QStringLiteral("Use keyboard here");
    static inline const QString fullScreenText = QStringLiteral("Full screen");
    static inline const QString leaveFullScreenText = QStringLiteral("Leave full screen");
    // The scale button names the mode it switches to.
    static inline const QString actualSizeText = QStringLiteral("Actual size");
    static inline const QString fitText = QStringLiteral("Fit to window");

    // Input goes to `sink`, or to the client's send operations when none is given.
    explicit RemoteDesktopView(KivrenClient &client, ClickView::Sink sink = {},
                               QWidget *parent = nullptr);

    KivrenGhost *endButton() const { return m_end; }
    KivrenGhost *keyboardButton() const { return m_keyboard; }
    KivrenGhost *fullScreenButton() const { return m_fullScreen; }
    KivrenGhost *scaleButton() const { return m_scale; }
    PictureScale::Mode scaleMode() const { return m_scaleMode; }
    void setScaleMode(PictureScale::Mode mode);
    QScrollArea *scrollArea() const { return m_scroll; }
    // The window this view is in, on the whole screen or back as it was before.
    void setFullScreen(bool on);
    QLabel *statusLabel() const { return m_status; }
    QLabel *encryptionLabel() const { return m_encryption; }
    // "🔒 Encrypted" (U+1F512) or "Not encrypted".
    static QString encryptionText(bool encrypted)
    {
        return encrypted ? QStringLiteral("\U0001F512 Encrypted") : QStringLiteral("Not encrypted");
    }
    QWidget *pictureArea() const { return m_area; }
    RemotePicture *picture() const { return m_picture; }
    ClickView *clickView() const;

protected:
    void showEvent(QShowEvent *event) override;
    // The session's end (the home screen replacing this view) leaves full screen too.
    void hideEvent(QHideEvent *event) override;

private:
    // The picture area's size as the mode and the host display's size have it.
    void applyScale();

    QPointer<KivrenClient> m_client;
    KivrenGhost *m_end = nullptr;
    KivrenGhost *m_keyboard = nullptr;
    KivrenGhost *m_fullScreen = nullptr;
    KivrenGhost *m_scale = nullptr;
    PictureScale::Mode m_scaleMode = PictureScale::Mode::fit;
    QScrollArea *m_scroll = nullptr;
    // What the window was (maximised, say) before it went full screen.
    Qt::WindowStates m_stateBeforeFullScreen;
    QLabel *m_status = nullptr;
    QLabel *m_encryption = nullptr;
    QWidget *m_area = nullptr;
    MacClickCatcher *m_catcher = nullptr;
    RemotePicture *m_picture = nullptr;
};
