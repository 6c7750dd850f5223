// Opens the app's window as a first start does, on whatever display it is given, and prints
// where things are, in the window's own points:
//   screen <x> <y> <w> <h>      the screen's free area
//   window <x> <y> <w> <h>      the window, frame included
//   minimum <w> <h>
//   connect <x> <y> <w> <h>     the Connect button, within the window
//   connectShown <w> <h>        how much of it is drawn (the rest scrolled out of view)
//   scrolled <value>            the home screen's vertical scroll position
//   columns <1|2>
//   shrunk <w> <h>              the window's size once asked to take its minimum
// With "--grab <file.png>" it also saves the window as drawn.
#include "KivrenApp.h"
#include "KivrenClient.h"
#include "KivrenHome.h"
#include "KivrenTheme.h"
#include "MacHostService.h"
#include "MacRootView.h"
#include "SettingsStore.h"
#include "UiTestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QScreen>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QWindow>

#include <cstdio>

namespace {

void settle(int milliseconds)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < milliseconds)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
}

void print(const char *name, const QRect &r)
{
    std::printf("%s %d %d %d %d\n", name, r.x(), r.y(), r.width(), r.height());
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setPalette(KivrenTheme::palette());
    QApplication::setFont(KivrenTheme::applicationFont());
    const QStringList args = app.arguments();
    const qsizetype grabAt = args.indexOf(QStringLiteral("--grab"));
    const QString grabFile = grabAt > 0 && grabAt + 1 < args.size() ? args[grabAt + 1] : QString();

    QTemporaryDir dir;
    SettingsStore settings(dir.filePath(QStringLiteral("settings.ini")));
    settings.setText(KivrenClient::cloudKey, QStringLiteral("https://warm-river-lamp.trycloudflare.com"));
    settings.setBytes(KivrenClient::bookKey,
                      BookEntry::encodeList({{QStringLiteral("987654321"), QStringLiteral("Studio PC"),
                                              QDateTime::currentDateTimeUtc()},
                                             {QStringLiteral("112233445"), QStringLiteral("Mum's laptop"),
                                              QDateTime::currentDateTimeUtc().addDays(-2)}}));
    MacHostService::Options host = UiTestSupport::quietHost(settings, QStringLiteral("Studio PC"));
    KivrenApp kivren(settings, QStringLiteral("Studio PC"), std::move(host), dir.filePath(QStringLiteral("autostart")));
    kivren.show();
    MacRootView &window = kivren.window();
    QElapsedTimer waited;
    waited.start();
    while ((!window.windowHandle() || !window.windowHandle()->isExposed()) && waited.elapsed() < 10000)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    settle(300);

    KivrenHome *home = window.home();
    auto *connect = home ? home->findChild<QAbstractButton *>(QStringLiteral("connect")) : nullptr;
    if (!connect)
        return 1;
    print("screen", window.windowHandle()->screen()->availableGeometry());
    print("window", window.frameGeometry());
    std::printf("minimum %d %d\n", window.minimumWidth(), window.minimumHeight());
    print("connect", QRect(connect->mapTo(&window, QPoint(0, 0)), connect->size()));
    const QRect shown = connect->visibleRegion().boundingRect();
    std::printf("connectShown %d %d\n", shown.width(), shown.height());
    std::printf("scrolled %d\n", home->verticalScrollBar()->value());
    std::printf("columns %d\n", home->isTwoColumns() ? 2 : 1);
    if (!grabFile.isEmpty())
        window.grab().save(grabFile);

    window.resize(window.minimumSize());
    settle(300);
    std::printf("shrunk %d %d\n", window.width(), window.height());
    std::fflush(stdout);
    return 0;
}
