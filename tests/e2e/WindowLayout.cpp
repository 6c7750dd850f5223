// Prints where the window's controls sit, so the end-to-end test can click them as a person
// would. It builds the same screens the app shows, at the app window's size, on the same
// display (same platform plugin, fonts and DPI), and prints "<name> <x> <y> <w> <h>" in
// window coordinates.
//
//   e2e_window_layout home <width> <height> <hostId> <password> <hostStatus> <cloudHint> [<bookId> <bookName>]
//   e2e_window_layout remote <width> <height>
// With "--grab <file.png>" anywhere on the line it also saves the whole screen as drawn, so a
// test can compare a region of the real window with what a given text looks like.
#include "BookEntry.h"
#include "ClickView.h"
#include "KivrenClient.h"
#include "KivrenGhost.h"
#include "KivrenHome.h"
#include "KivrenTheme.h"
#include "RemoteDesktopView.h"
#include "SettingsStore.h"

#include <QApplication>
#include <QDateTime>
#include <QTemporaryDir>
#include <QWidget>

#include <cstdio>

namespace {

void print(const char *name, QWidget *window, QWidget *widget)
{
    if (!widget)
        return;
    const QPoint topLeft = widget->mapTo(window, QPoint(0, 0));
    std::printf("%s %d %d %d %d\n", name, topLeft.x(), topLeft.y(), widget->width(), widget->height());
}

void settle(QWidget &window, int width, int height)
{
    window.resize(width, height);
    window.show();
    for (int i = 0; i < 10; ++i)
        QApplication::processEvents();
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setPalette(KivrenTheme::palette());
    QApplication::setFont(KivrenTheme::applicationFont());
    QStringList args = app.arguments();
    QString grabFile;
    if (const qsizetype at = args.indexOf(QStringLiteral("--grab")); at > 0 && at + 1 < args.size()) {
        grabFile = args[at + 1];
        args.remove(at, 2);
    }
    if (args.size() < 4)
        return 2;
    const QString screen = args[1];
    const int width = args[2].toInt();
    const int height = args[3].toInt();

    QTemporaryDir dir;
    SettingsStore settings(dir.filePath(QStringLiteral("layout.ini")));
    if (screen == QLatin1String("home") && args.size() >= 10) {
        BookEntry entry{args[8], args[9], QDateTime::currentDateTimeUtc()};
        settings.setBytes(QStringLiteral("kivren.book"), BookEntry::encodeList({entry}));
    }
    KivrenClient client(settings, QStringLiteral("layout"));

    if (screen == QLatin1String("home") && args.size() >= 8) {
        KivrenHome home(client);
        home.setHostId(args[4]);
        home.setHostPassword(args[5]);
        home.setHostStatus(args[6]);
        home.setCloudHint(args[7]);
        home.setOnCopyId([] {});
        home.setOnCopyPass([] {});
        home.setOnNewPass([] {});
        // The app's run toggles, as a first start shows them (both off).
        home.setStartAtLogin(false);
        home.setKeepHosting(false);
        settle(home, width, height);
        for (const char *name : {"remoteId", "remotePassword", "connect", "bookRow", "hostStatus", "hostStatusDot"})
            print(name, &home, home.findChild<QWidget *>(QString::fromLatin1(name)));
        if (!grabFile.isEmpty())
            home.grab().save(grabFile);
        return 0;
    }
    if (screen == QLatin1String("remote")) {
        RemoteDesktopView remote(client);
        settle(remote, width, height);
        print("end", &remote, remote.endButton());
        print("keyboard", &remote, remote.keyboardButton());
        print("picture", &remote, remote.findChild<ClickView *>());
        return 0;
    }
    return 2;
}
