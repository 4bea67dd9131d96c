#include <QApplication>
#include <gtest/gtest.h>

#include "scene/kinds/SimpleVelore.h"

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    quenlo::RegisterSimpleVeloreKinds();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("QUENLO"));
    return RUN_ALL_TESTS();
}
