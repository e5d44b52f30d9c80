// Selected text and the find bar's current match stay readable in every
// scheme, measured in the pixels both renderers draw (run under xvfb-run:
// the OpenGL path needs a real window). At two pixels per point, so that a
// regular stem has pixels of full ink to measure.
#include "quillmar/app/shell/FocusingTerminalView.h"
#include "quillmar/app/shell/TerminalHost.h"
#include "quillmar/app/style/TerminalScheme.h"
#include "quillmar/app/tests/AppTestSupport.h"

#include "ravelgrid/drawing/ColorResolver.h"
#include "ravelgrid/gpu/opengl/GpuTerminalRenderer.h"
#include "ravelgrid/view/GpuTerminalHost.h"
#include "ravelgrid/view/QtDeliveryQueue.h"
#include "ravelgrid/view/QtScheduler.h"

#include <QOpenGLWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

using namespace quillmar;
using ravelgrid::contrastRatio;

namespace {

// Text in the default colour, every palette colour, inverse, dim and bold,
// and a grey word to find; the caret out of the way.
constexpr const char* screen =
    "\x1b[?25l\x1b[H"
    "HHHH \x1b[7mHHHH\x1b[0m \x1b[2mHHHH\x1b[0m \x1b[1mHHHH\x1b[0m\r\n"
    "\x1b[30mHH \x1b[31mHH \x1b[32mHH \x1b[33mHH \x1b[34mHH \x1b[35mHH \x1b[36mHH \x1b[37mHH\x1b[0m\r\n"
    "\x1b[90mHH \x1b[91mHH \x1b[92mHH \x1b[93mHH \x1b[94mHH \x1b[95mHH \x1b[96mHH \x1b[97mHH\x1b[0m\r\n"
    "find the \x1b[90mHHHHHH\x1b[0m here";
constexpr int textRows = 4;

struct Host {
    std::shared_ptr<TerminalSession> session;
    std::unique_ptr<TerminalHost> host;

    explicit Host(const TerminalScheme& scheme)
    {
        session = std::make_shared<TerminalSession>(
            SessionTarget::tool(QStringLiteral("test"), QStringLiteral("/bin/sleep"), {QStringLiteral("60")}), 1,
            ravelgrid::QtScheduler::system().nowNs());
        host = std::make_unique<TerminalHost>(session, scheme, ravelgrid::FontSet::defaultSet(),
                                              ravelgrid::QtScheduler::system(), [](std::optional<std::int32_t>) {});
        host->resize(640, 240);
        host->show();
    }
    ravelgrid::TerminalView& view() { return *host->view(); }
    // In device pixels.
    QSizeF cell() { return view().cellDimension().value_or(QSizeF(1, 1)) * host->devicePixelRatioF(); }

    QImage painted()
    {
        view().displayNow();
        return view().grab().toImage().convertToFormat(QImage::Format_RGB32);
    }
    QImage drawnByGpu()
    {
        view().displayNow();
        ravelgrid::GpuTerminalHost* gpu = view().gpuHost();
        for (int i = 0; i < 400 && gpu->renderer() && gpu->renderer()->coordinator().hasActiveFrame(); ++i)
            QTest::qWait(5);
        return gpu->overlay()->grabFramebuffer().convertToFormat(QImage::Format_RGB32);
    }
};

// Whole device pixels inside a cell, one pixel in from its edges.
QRect cellRect(const QSizeF& cell, int col, int row)
{
    return QRect(QPoint(int(std::ceil(col * cell.width())) + 1, int(std::ceil(row * cell.height())) + 1),
                 QPoint(int(std::floor((col + 1) * cell.width())) - 2, int(std::floor((row + 1) * cell.height())) - 2));
}

// The strongest contrast any pixel of the cell makes with the ground: a
// glyph's full-ink stems carry its colour.
double inkContrast(const QImage& image, const QRect& rect, const QColor& ground)
{
    double best = 1;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x)
            best = std::max(best, contrastRatio(QColor(image.pixel(x, y)), ground));
    return best;
}

bool near(QRgb a, QRgb b)
{
    return std::abs(qRed(a) - qRed(b)) <= 2 && std::abs(qGreen(a) - qGreen(b)) <= 2 &&
           std::abs(qBlue(a) - qBlue(b)) <= 2;
}

// Every 'H' of the selected rows against the selection colour; blanks
// beside them show that colour. Failures are listed, not just counted.
QString unreadableCells(Host& h, const QImage& image, const QColor& selection, int firstRow, int endRow,
                        int firstCol = 0, int endCol = 1 << 20)
{
    QString failures;
    int checked = 0;
    ravelgrid::Buffer& buffer = h.view().terminal().activeBuffer();
    for (int row = firstRow; row < endRow; ++row) {
        const ravelgrid::BufferLine& line = buffer.screenLine(row);
        for (int col = firstCol; col < std::min(endCol, h.view().terminal().cols); ++col) {
            const QRect rect = cellRect(h.cell(), col, row);
            if (line[col].code != 'H') {
                if (line[col].code == ' ' && !near(image.pixel(rect.center()), selection.rgb()))
                    failures += QStringLiteral("blank %1,%2 not in the selection colour; ").arg(col).arg(row);
                continue;
            }
            ++checked;
            const double ratio = inkContrast(image, rect, selection);
            if (ratio < ravelgrid::minimumSelectionContrast)
                failures += QStringLiteral("%1,%2 at %3:1; ").arg(col).arg(row).arg(ratio, 0, 'f', 2);
        }
    }
    if (checked == 0)
        failures += QStringLiteral("no text found");
    return failures;
}

}  // namespace

class SelectionLookTests : public QObject {
    Q_OBJECT

    apptests::WindowTestEnvironment environment_;
    QTemporaryDir& home_ = environment_.home;

private slots:
    void initTestCase() { QVERIFY(environment_.start()); }

    void selectedTextAndTheFindMatchAreReadable_data()
    {
        QTest::addColumn<QString>("scheme");
        for (const TerminalScheme& s : TerminalScheme::catalogue())
            QTest::newRow(qPrintable(s.id)) << s.id;
    }

    void selectedTextAndTheFindMatchAreReadable()
    {
        QFETCH(QString, scheme);
        const TerminalScheme& s = TerminalScheme::named(scheme);
        QCOMPARE(s.id, scheme);
        Host h(s);
        QVERIFY(QTest::qWaitForWindowExposed(h.host.get()));
        QTRY_VERIFY(h.view().cellDimension().has_value());
        h.view().terminal().feed(screen);
        const QColor selection = schemeColor(s.selection);

        h.view().selectAll();
        const QImage painted = h.painted();
        QString failures = unreadableCells(h, painted, selection, 0, textRows);
        QVERIFY2(failures.isEmpty(), qPrintable("painter: " + failures));

        // The find bar's current match is the selection, drawn the same way.
        h.view().selection().setActive(false);
        QVERIFY(h.view().find().findMatch("HHHHHH", {}, false, true));
        const QImage found = h.painted();
        failures = unreadableCells(h, found, selection, 3, 4, 9, 15);
        QVERIFY2(failures.isEmpty(), qPrintable("painter, find match: " + failures));
        // Only the match: the rest keeps the scheme's background.
        QVERIFY(near(found.pixel(cellRect(h.cell(), 4, 0).center()), schemeColor(s.background).rgb()));

        QVERIFY(h.view().enableGpuRenderer(true));
        QTRY_VERIFY_WITH_TIMEOUT(h.view().gpuRendererStatus().state == ravelgrid::GpuRendererStatus::State::healthy,
                                 10000);
        const QImage gpuFound = h.drawnByGpu();
        failures = unreadableCells(h, gpuFound, selection, 3, 4, 9, 15);
        QVERIFY2(failures.isEmpty(), qPrintable("gpu, find match: " + failures));

        h.view().selectAll();
        const QImage gpu = h.drawnByGpu();
        QCOMPARE(gpu.size(), painted.size());
        failures = unreadableCells(h, gpu, selection, 0, textRows);
        QVERIFY2(failures.isEmpty(), qPrintable("gpu: " + failures));
    }
};

QTEST_MAIN(SelectionLookTests)
#include "SelectionLookTests.moc"
