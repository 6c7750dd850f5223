#pragma once

#include "ClickView.h"

#include <QPointer>
#include <QWidget>

class KivrenClient;
class KivrenGhost;
class MacClickCatcher;
class QLabel;
class RemotePicture;

// The window's content while the viewer is live: a bar with "End" and the viewer's status,
// and below it the remote picture, where clicks and primary drags become pointer events.
class RemoteDesktopView : public QWidget
{
    Q_OBJECT

public:
    static constexpr int kBarInset = 10;

    // Pointer events go to `sink`, or to the client's send() when none is given.
    explicit RemoteDesktopView(KivrenClient &client, ClickView::Sink sink = {},
                               QWidget *parent = nullptr);

    KivrenGhost *endButton() const { return m_end; }
    QLabel *statusLabel() const { return m_status; }
    QWidget *pictureArea() const { return m_area; }
    RemotePicture *picture() const { return m_picture; }
    ClickView *clickView() const;

private:
    QPointer<KivrenClient> m_client;
    KivrenGhost *m_end = nullptr;
    QLabel *m_status = nullptr;
    QWidget *m_area = nullptr;
    MacClickCatcher *m_catcher = nullptr;
    RemotePicture *m_picture = nullptr;
};
