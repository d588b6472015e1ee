#pragma once

#include "support/XvfbSession.h"

#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QTest>

namespace oculo::test {

// Points every standard location (settings included) into a fresh temporary
// folder, so no test reads or writes the user's own files.
void isolateUserFiles();

// Starts a private Xvfb (with openbox when `windowManager`) and points this
// process at it. Exits the process with a message when it cannot start.
void useIsolatedXServer(bool windowManager, int width = 1440, int height = 900);

// A session bus of the test's own, ended with it, for the accessibility bus
// to start on. Empty when dbus-daemon cannot start. Without `activation` no
// service is started on demand, so a real portal never answers in a fake's place.
QByteArray startSessionBus(bool activation = true);

// Puts `manager` in the place of the private server's window manager; false
// when it did not take over.
bool switchWindowManager(XvfbSession::WindowManager manager);

} // namespace oculo::test

// Test mains that isolate the user's files before the application exists.
#define OCULO_TEST_MAIN(TestClass)                                                                 \
    int main(int argc, char** argv) {                                                              \
        oculo::test::isolateUserFiles();                                                           \
        QApplication app(argc, argv);                                                              \
        TestClass tc;                                                                              \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }

// As above, on a private X server (QT_QPA_PLATFORM=xcb).
#define OCULO_X11_TEST_MAIN(TestClass, withWindowManager)                                          \
    int main(int argc, char** argv) {                                                              \
        oculo::test::isolateUserFiles();                                                           \
        oculo::test::useIsolatedXServer(withWindowManager);                                        \
        QApplication app(argc, argv);                                                              \
        TestClass tc;                                                                              \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }
