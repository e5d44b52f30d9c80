// The least a Qt Widgets window can do for a keypress: a bare opaque widget
// that repaints one cell-sized rectangle on each key, with no terminal and no
// pseudo-terminal behind it. bench/keypress_pixels.sh times it beside
// quillmar and xterm, to show how much of quillmar's time is the toolkit's.
#include <QApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QWidget>

namespace {

class Cell final : public QWidget {
public:
    Cell()
    {
        setAttribute(Qt::WA_OpaquePaintEvent);
        resize(1000, 700);
    }

protected:
    void keyPressEvent(QKeyEvent*) override
    {
        on_ = !on_;
        repaint(cell_);
    }
    void paintEvent(QPaintEvent* event) override
    {
        QPainter painter(this);
        painter.fillRect(event->rect(), Qt::black);
        painter.fillRect(cell_, on_ ? Qt::white : Qt::black);
    }

private:
    const QRect cell_{10, 10, 9, 17};
    bool on_ = false;
};

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    Cell cell;
    cell.show();
    return app.exec();
}
