#pragma once

#include "platform/FakeScheduler.h"
#include "ravelgrid/view/TerminalView.h"

#include <QCoreApplication>
#include <QTest>
#include <QWidget>

namespace ravelgrid {

// A view filling a shown top-level window, on a fake clock: the OpenGL
// surface needs a real window (run under xvfb-run).
struct ShownWindowView {
    platform::FakeScheduler clock;
    QWidget window;
    TerminalView* view;
    bool exposed = false;

    explicit ShownWindowView(int width, int height)
    {
        window.resize(width, height);
        view = new TerminalView(&window, std::nullopt, {}, clock);
        view->setGeometry(0, 0, width, height);
        window.show();
        exposed = QTest::qWaitForWindowExposed(&window);
    }

    // Runs the event loop and the fake clock until `done` or a timeout.
    template <typename Done>
    bool pump(Done done, int steps = 400)
    {
        for (int i = 0; i < steps; ++i) {
            if (done())
                return true;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            clock.advance(1'000'000);
            QTest::qWait(2);
        }
        return done();
    }

    bool healthy() const { return view->gpuRendererStatus().state == GpuRendererStatus::State::healthy; }
};

}  // namespace ravelgrid
