// What a user types into: a line edit with the focus, and an "Output" window
// whose text and caret grow while it has none. Reads commands on stdin:
// "where" prints both widgets' screen rectangles, "refocus" gives the line
// edit the focus afresh, "append" adds a line of output and answers "appended".

#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSocketNotifier>
#include <QTextStream>

#include <unistd.h>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QPlainTextEdit output;
    output.setGeometry(900, 500, 400, 300);
    output.show();
    QWidget typing;
    typing.setGeometry(100, 100, 500, 50);
    QLineEdit edit(&typing);
    edit.setGeometry(10, 10, 480, 30);
    typing.show();
    typing.activateWindow();
    edit.setFocus();

    QTextStream out(stdout);
    const auto where = [&out](const QWidget& widget) {
        const QPoint p = widget.mapToGlobal(QPoint(0, 0));
        out << p.x() << ' ' << p.y() << ' ' << widget.width() << ' ' << widget.height() << ' ';
    };
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[256] = {};
        if (::read(STDIN_FILENO, buffer, sizeof buffer - 1) <= 0) {
            QApplication::quit();
        }
        for (const QByteArray& command : QByteArray(buffer).split('\n')) {
            if (command == "where") {
                where(edit);
                where(output);
                out << Qt::endl;
            } else if (command == "refocus") {
                edit.clearFocus();
                typing.activateWindow();
                edit.setFocus();
            } else if (command == "append") {
                output.appendPlainText(QStringLiteral("output line"));
                output.moveCursor(QTextCursor::End);
                out << "appended" << Qt::endl;
            }
        }
    });
    return QApplication::exec();
}
