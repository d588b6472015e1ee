// The application a user types into while Oculo follows the keyboard: a
// window with a line edit, which gets the focus, and an "Output" window whose
// text grows, caret and all, while it has no focus. Commands on stdin, one a
// line: "where" prints the line edit's and the output's screen rectangles,
// "append" adds a line to the output and says "appended".

#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSocketNotifier>
#include <QTextStream>
#include <QVBoxLayout>

#include <cstdio>
#include <unistd.h>

namespace {

QString rectText(const QWidget& widget) {
    const QRect r(widget.mapToGlobal(QPoint(0, 0)), widget.size());
    return QStringLiteral("%1 %2 %3 %4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QPlainTextEdit output;
    output.setWindowTitle(QStringLiteral("Output"));
    output.setGeometry(900, 500, 400, 300);
    output.show();

    QWidget typing;
    typing.setWindowTitle(QStringLiteral("Typing"));
    typing.setGeometry(100, 100, 500, 80);
    auto* edit = new QLineEdit(&typing);
    (new QVBoxLayout(&typing))->addWidget(edit);
    typing.show();
    typing.activateWindow();
    edit->setFocus();

    QTextStream out(stdout);
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[256] = {};
        if (::read(STDIN_FILENO, buffer, sizeof buffer - 1) <= 0) {
            QApplication::quit();
            return;
        }
        for (const QByteArray& command : QByteArray(buffer).split('\n')) {
            if (command == "where") {
                out << rectText(*edit) << " " << rectText(output) << "\n" << Qt::flush;
            } else if (command == "append") {
                // Output arrives while the user types elsewhere: its caret moves with it.
                output.appendPlainText(QStringLiteral("output line"));
                output.moveCursor(QTextCursor::End);
                out << "appended\n" << Qt::flush;
            }
        }
    });
    return QApplication::exec();
}
