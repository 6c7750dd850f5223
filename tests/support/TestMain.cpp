// Every test executable runs inside one QApplication (offscreen unless a test says otherwise),
// so coroutine tests can spin the event loop and widget tests can render.
#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("KivrenRemoteTests"));
    QApplication::setApplicationName(QStringLiteral("KivrenRemoteTests"));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
