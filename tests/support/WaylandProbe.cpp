// A full-screen Wayland window for the tests and the benchmark of the Wayland backend.
// It shows four coloured quadrants (red, green, blue and yellow: quadrantColours below) and
// reports on stdout, one line each, what reaches it:
//   ready <width> <height>          painted full screen at that size
//   press <x> <y> <left|right>      a button press, in window (= screen) coordinates
//   double <x> <y> <left|right>     that press was the second of a double click
//   release <x> <y> <left|right>
//   move <x> <y>                    the pointer moved over the window
//   enter                           the pointer came over the window
//   focus                           the window has the keyboard
//   wheel <angle delta y>           positive when scrolled up (away from the person)
//   key <Qt key> <hex of the UTF-8 text>
//   held <Qt key> <shift control alt meta, those held>   after a key line, when any are held
//   keyup <Qt key>                  a key's release (not its repeats)
// With --animate it repaints a desktop-like picture with moving parts at 60 frames a second,
// so that a screen cast keeps delivering frames.
#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QTimer>
#include <QWheelEvent>
#include <QWidget>

#include <cstdio>
#include <utility>

namespace {

constexpr QRgb quadrantColours[4] = {0xdc1e1e, 0x1ec81e, 0x1e1edc, 0xe6c81e};
constexpr int animationIntervalMs = 16;

void report(const QByteArray &line)
{
    std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

const char *buttonName(Qt::MouseButton button)
{
    return button == Qt::RightButton ? "right" : button == Qt::LeftButton ? "left" : "other";
}

class Probe : public QWidget
{
public:
    explicit Probe(bool animate)
        : m_animate(animate)
    {
        setCursor(Qt::BlankCursor);
        setMouseTracking(true);
        setFocusPolicy(Qt::StrongFocus);
        if (m_animate) {
            connect(&m_timer, &QTimer::timeout, this, [this] {
                ++m_frame;
                update();
            });
            m_timer.start(animationIntervalMs);
        }
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        const int w = width();
        const int h = height();
        if (m_animate)
            paintDesktop(painter, w, h);
        else
            paintQuadrants(painter, w, h);
        const QSize screenSize = screen() ? screen()->size() : QSize();
        if (!m_ready && size() == screenSize) {
            m_ready = true;
            report(QByteArray("ready ") + QByteArray::number(w) + ' ' + QByteArray::number(h));
        }
    }

    void mousePressEvent(QMouseEvent *event) override { reportButton("press", event); }
    void mouseMoveEvent(QMouseEvent *event) override
    {
        const QPoint at = event->position().toPoint();
        report(QByteArray("move ") + QByteArray::number(at.x()) + ' ' + QByteArray::number(at.y()));
    }
    void enterEvent(QEnterEvent *) override { report("enter"); }
    void focusInEvent(QFocusEvent *) override { report("focus"); }
    void mouseReleaseEvent(QMouseEvent *event) override { reportButton("release", event); }
    void mouseDoubleClickEvent(QMouseEvent *event) override { reportButton("double", event); }

    void wheelEvent(QWheelEvent *event) override
    {
        report(QByteArray("wheel ") + QByteArray::number(event->angleDelta().y()));
    }

    void keyPressEvent(QKeyEvent *event) override
    {
        report(QByteArray("key ") + QByteArray::number(event->key()) + ' ' + event->text().toUtf8().toHex());
        QByteArray held;
        for (const auto &[modifier, name] : {std::pair{Qt::ShiftModifier, "shift"}, std::pair{Qt::ControlModifier, "control"},
                                             std::pair{Qt::AltModifier, "alt"}, std::pair{Qt::MetaModifier, "meta"}}) {
            if (event->modifiers() & modifier)
                held += QByteArray(" ") + name;
        }
        if (!held.isEmpty())
            report(QByteArray("held ") + QByteArray::number(event->key()) + held);
    }

    void keyReleaseEvent(QKeyEvent *event) override
    {
        if (!event->isAutoRepeat())
            report(QByteArray("keyup ") + QByteArray::number(event->key()));
    }

private:
    void reportButton(const char *what, QMouseEvent *event)
    {
        const QPoint at = event->position().toPoint();
        report(QByteArray(what) + ' ' + QByteArray::number(at.x()) + ' ' + QByteArray::number(at.y()) + ' '
               + buttonName(event->button()));
    }

    static void paintQuadrants(QPainter &painter, int w, int h)
    {
        painter.fillRect(0, 0, w / 2, h / 2, QColor(quadrantColours[0]));
        painter.fillRect(w / 2, 0, w - w / 2, h / 2, QColor(quadrantColours[1]));
        painter.fillRect(0, h / 2, w / 2, h - h / 2, QColor(quadrantColours[2]));
        painter.fillRect(w / 2, h / 2, w - w / 2, h - h / 2, QColor(quadrantColours[3]));
    }

    // Flat panels, a title bar, lines of text and a block that moves every frame.
    void paintDesktop(QPainter &painter, int w, int h) const
    {
        painter.fillRect(0, 0, w, h, QColor(0x2d4f7c));
        painter.fillRect(w / 10, h / 10, w * 6 / 10, h * 7 / 10, QColor(0xf4f4f4));
        painter.fillRect(w / 10, h / 10, w * 6 / 10, 28, QColor(0xd8d8d8));
        painter.fillRect(w * 3 / 4, h / 5, w / 5, h / 2, QColor(0x1e1e1e));
        painter.fillRect(0, h - 36, w, 36, QColor(0xe0e0e0));
        static const char *lines[] = {
            "The quick brown fox jumps over the lazy dog 0123456789",
            "int main(int argc, char **argv) { return run(argc, argv); }",
            "Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do",
            "eiusmod tempor incididunt ut labore et dolore magna aliqua.",
        };
        painter.setPen(QColor(0x202020));
        int index = m_frame / 30;
        for (int y = h / 10 + 48; y < h * 8 / 10 - 10; y += 16, ++index)
            painter.drawText(w / 10 + 12, y, QString::fromLatin1(lines[index % 4]));
        painter.setPen(QColor(0x9fe870));
        for (int y = h / 5 + 20; y < h * 7 / 10 - 10; y += 14, ++index)
            painter.drawText(w * 3 / 4 + 8, y, QString::fromLatin1(lines[index % 4]).left(40));
        const int x = (m_frame * 8) % std::max(w - 120, 1);
        painter.fillRect(x, h - 30, 120, 24, QColor(0xe06020));
    }

    bool m_animate = false;
    bool m_ready = false;
    int m_frame = 0;
    QTimer m_timer;
};

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const bool animate = app.arguments().contains(QStringLiteral("--animate"));
    Probe probe(animate);
    probe.showFullScreen();
    return app.exec();
}
