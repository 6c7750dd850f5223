#include "UiTestSupport.h"

#include <QDir>
#include <QLinearGradient>
#include <QPainter>

#include <chrono>

using namespace std::chrono_literals;

namespace UiTestSupport {

MacHostService::Options quietHost(SettingsStore &settings, const QString &computerName)
{
    MacHostService::Options options;
    options.settings = &settings;
    options.switchboardBase = QStringLiteral("http://127.0.0.1:1");
    options.startChildren = false;
    options.tunnelDirectories = {QStringLiteral("/nonexistent/")};
    options.computerName = computerName;
    options.timing.firstPass = 1h;
    return options;
}

QImage samplePicture(QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    QPainter p(&image);
    QLinearGradient wallpaper(0, 0, size.width(), size.height());
    wallpaper.setColorAt(0, QColor(38, 70, 120));
    wallpaper.setColorAt(1, QColor(120, 60, 110));
    p.fillRect(image.rect(), wallpaper);

    const QRect window(size.width() / 8, size.height() / 8, size.width() / 2, size.height() / 2);
    p.fillRect(window, QColor(245, 245, 247));
    p.fillRect(QRect(window.topLeft(), QSize(window.width(), 36)), QColor(220, 222, 226));
    p.setPen(QColor(40, 40, 40));
    QFont f = p.font();
    f.setPixelSize(22);
    p.setFont(f);
    p.drawText(window.adjusted(24, 60, -24, -24), Qt::AlignLeft | Qt::AlignTop,
               QStringLiteral("Quarterly report.txt\n\nRevenue up 12 %\nShipping on Friday"));
    p.fillRect(QRect(0, size.height() - 48, size.width(), 48), QColor(20, 20, 24, 230));
    return image;
}

QString saveScreenshot(QWidget &widget, const QString &name)
{
    const QString dir = QStringLiteral(KIVREN_BINARY_DIR "/ui-screenshots");
    QDir().mkpath(dir);
    const QString path = dir + QLatin1Char('/') + name + QStringLiteral(".png");
    widget.grab().save(path);
    return path;
}

} // namespace UiTestSupport
