#include <QApplication>
#include <QWidget>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("KivrenRemote"));
    QApplication::setApplicationName(QStringLiteral("KivrenRemote"));
    QWidget window;
    window.setMinimumSize(720, 560);
    window.show();
    return app.exec();
}
