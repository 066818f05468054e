// The X11 tests run inside a Qt application: a GUI one when an X display is there (so that Qt's
// own windows can take part), a core one otherwise (the display tests then skip themselves).
#include <QCoreApplication>
#include <QGuiApplication>

#include <gtest/gtest.h>

#include <memory>

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    std::unique_ptr<QCoreApplication> app;
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        app = std::make_unique<QCoreApplication>(argc, argv);
    } else {
        qputenv("QT_QPA_PLATFORM", "xcb");
        app = std::make_unique<QGuiApplication>(argc, argv);
    }
    return RUN_ALL_TESTS();
}
