// A changing screen for follow_bench: a borderless window at the top-left
// corner holding a horizontal gradient whose red channel encodes x (red = x / 2)
// while the blue channel cycles, repainted a given number of times a second.
// The pointer is invisible over it, so captured pixels show only the scene.
//
// Usage: follow_bench_scene [--fps N]   (default 30; 0 paints once)

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QTimer>
#include <QWidget>

namespace {

constexpr int sceneWidth = 510; // red = x / 2 stays within one byte
constexpr int sceneHeight = 300;

class GradientScene : public QWidget {
public:
    GradientScene()
        : QWidget(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint)
        , m_line(sceneWidth, 1, QImage::Format_RGB32) {
        setWindowTitle(QStringLiteral("Oculo bench scene"));
        setCursor(Qt::BlankCursor);
        setAttribute(Qt::WA_OpaquePaintEvent);
        setGeometry(0, 0, sceneWidth, sceneHeight);
    }

    void advance() {
        ++m_frame;
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        const int blue = (m_frame * 8) & 0xff;
        auto* pixels = reinterpret_cast<QRgb*>(m_line.scanLine(0));
        for (int x = 0; x < sceneWidth; ++x) {
            pixels[x] = qRgb(x / 2, 0, blue);
        }
        QPainter painter(this);
        painter.drawImage(rect(), m_line);
    }

private:
    QImage m_line;
    int m_frame = 0;
};

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    int fps = 30;
    const QStringList arguments = QApplication::arguments();
    const qsizetype fpsIndex = arguments.indexOf(QStringLiteral("--fps"));
    if (fpsIndex > 0 && fpsIndex + 1 < arguments.size()) {
        fps = arguments.at(fpsIndex + 1).toInt();
    }

    GradientScene scene;
    scene.show();
    QTimer timer;
    if (fps > 0) {
        QObject::connect(&timer, &QTimer::timeout, &scene, &GradientScene::advance);
        timer.setTimerType(Qt::PreciseTimer);
        timer.start(1000 / fps);
    }
    return QApplication::exec();
}
