// The remote view's cost to show one received picture: RemotePicture painting a 1280x800
// frame scaled to fit (smooth resampling, letterbox fill) into a window-sized area, against
// the bare blit of the same frame at its own size into an image of the same area, as the
// baseline. Samples alternate between the two so both see the same machine load. The picture
// arrives at most every 90 ms plus a poll round trip; the paint should stay a small part of it.
//
//   bench_ui_picture_paint [paints]   default 200 per row

#include "RemotePicture.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

QImage desktopPicture()
{
    QImage image(1280, 800, QImage::Format_RGB32);
    QPainter p(&image);
    QLinearGradient wallpaper(0, 0, 1280, 800);
    wallpaper.setColorAt(0, QColor(38, 70, 120));
    wallpaper.setColorAt(1, QColor(120, 60, 110));
    p.fillRect(image.rect(), wallpaper);
    p.fillRect(QRect(160, 90, 740, 530), QColor(246, 246, 246));
    for (int y = 120; y < 600; y += 18)
        p.fillRect(QRect(180, y, 600, 10), QColor(30, 30, 30));
    return image;
}

double median(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int paints = argc > 1 ? std::max(10, std::atoi(argv[1])) : 200;

    const QImage frame = desktopPicture();
    struct Area { const char *name; QSize size; };
    const Area areas[] = {{"720x496 (smallest window)", {720, 496}},
                          {"1440x836 (large window)", {1440, 836}}};

    std::printf("%-28s %14s %14s %8s\n", "picture area", "view ms (med)", "blit ms (med)", "ratio");
    for (const Area &area : areas) {
        RemotePicture view;
        view.resize(area.size);
        view.setImage(frame);
        QImage target(area.size, QImage::Format_RGB32);
        std::vector<double> viewMs, blitMs;
        for (int i = -10; i < paints; ++i) {
            QElapsedTimer t;
            t.start();
            view.render(&target);
            const double v = double(t.nsecsElapsed()) / 1e6;

            t.start();
            {
                QPainter p(&target);
                p.drawImage(QPoint(0, 0), frame);
            }
            const double b = double(t.nsecsElapsed()) / 1e6;
            if (i >= 0) {
                viewMs.push_back(v);
                blitMs.push_back(b);
            }
        }
        const double v = median(viewMs), b = median(blitMs);
        std::printf("%-28s %14.3f %14.3f %8.2f\n", area.name, v, b, v / b);
    }
    return 0;
}
