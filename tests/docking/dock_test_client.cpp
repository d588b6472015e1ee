#include <QApplication>
#include <QWidget>

#include <memory>
#include <vector>

// Another application for the tests: one ordinary window per "x,y,w,h"
// argument, its outer frame's top-left at x,y and its client area w x h.
int main(int argc, char** argv) {
    QApplication app(argc, argv);
    std::vector<std::unique_ptr<QWidget>> windows;
    const QStringList arguments = QApplication::arguments().mid(1);
    for (const QString& argument : arguments) {
        const QStringList values = argument.split(QLatin1Char(','));
        if (values.size() != 4) {
            return 2;
        }
        const auto& window = windows.emplace_back(std::make_unique<QWidget>());
        window->move(values[0].toInt(), values[1].toInt());
        window->resize(values[2].toInt(), values[3].toInt());
        window->show();
    }
    return QApplication::exec();
}
