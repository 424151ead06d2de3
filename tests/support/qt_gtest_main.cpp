// main() for GoogleTest binaries that need a Qt application object: a
// QCoreApplication, or with KC_TEST_GUI a QGuiApplication, or with
// KC_TEST_WIDGETS a QApplication.
#include <QtGlobal>
#if defined(KC_TEST_WIDGETS)
#include <QApplication>
using TestApplication = QApplication;
#elif defined(KC_TEST_GUI)
#include <QGuiApplication>
using TestApplication = QGuiApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif
#include <gtest/gtest.h>

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    TestApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
