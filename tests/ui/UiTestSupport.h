#pragma once

#include "MacHostService.h"

#include <QImage>
#include <QString>
#include <QWidget>

class SettingsStore;

// Helpers shared by the window's tests.
namespace UiTestSupport {

// A made-up remote desktop picture: a wallpaper gradient, a window with a title bar and a
// taskbar, so a screenshot shows the picture's placement and scaling.
QImage samplePicture(QSize size = {1280, 800});

// A host that starts no children, sends its requests where nothing listens (port 1) and does
// not register unless a test asks it to.
MacHostService::Options quietHost(SettingsStore &settings, const QString &computerName);

// Renders `widget` into build/ui-screenshots/<name>.png and returns the path written.
QString saveScreenshot(QWidget &widget, const QString &name);

} // namespace UiTestSupport
