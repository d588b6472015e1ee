#include "platform/x11/X11DisplayCheck.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char** argv) {
    // Capture, the window list and the pointer all speak X11; under a Wayland
    // session Oculo runs through XWayland.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "xcb");
    }
    if (qgetenv("QT_QPA_PLATFORM") == "xcb") {
        if (const auto reason = oculo::x11::displayUnavailableReason()) {
            std::fprintf(stderr, "%s\n", qPrintable(*reason));
            return 1;
        }
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Oculo"));
    QApplication::setOrganizationName(QStringLiteral("Oculo"));
    QApplication::setApplicationVersion(QStringLiteral(OCULO_VERSION));
    QApplication::setDesktopFileName(QStringLiteral(OCULO_BUNDLE_IDENTIFIER));
    QApplication::setQuitOnLastWindowClosed(false);
    return QApplication::exec();
}
