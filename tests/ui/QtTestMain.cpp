// GoogleTest with a QApplication on the offscreen platform, so that windows
// can be created, shown and painted without a display.
#include "TestSupport.h"

#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    // Qt's dialogs keep what they last showed in the user's settings; every
    // run starts without any.
    const TestSupport::TTempDir config;
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config.Path().string()));
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
