#pragma once

#include <QSize>
#include <QSizeF>

// How the session screen shows the remote picture: fitted into the window (one factor for both
// axes, smoothly scaled), or at the host display's own size, one of its points to one of this
// screen's, with scroll bars when it is larger than the window.
class PictureScale
{
public:
    enum class Mode { fit, actualSize };

    // The size of the picture area at the display's own size: the host's hello's size, or the
    // picture's own before there is one; at least 1 x 1.
    static QSize actualSize(QSizeF remoteSize, QSizeF pictureSize);
};
