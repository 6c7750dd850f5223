#pragma once

#include <QImage>
#include <QString>
#include <QWidget>

// Helpers shared by the window's tests.
namespace UiTestSupport {

// A made-up remote desktop picture: a wallpaper gradient, a window with a title bar and a
// taskbar, so a screenshot shows the picture's placement and scaling.
QImage samplePicture(QSize size = {1280, 800});

// Renders `widget` into build/ui-screenshots/<name>.png and returns the path written.
QString saveScreenshot(QWidget &widget, const QString &name);

} // namespace UiTestSupport
