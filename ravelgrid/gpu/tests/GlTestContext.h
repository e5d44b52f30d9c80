#pragma once

// An OpenGL 3.3 core context current on an offscreen surface, for tests and
// benchmarks under xvfb-run; `handle` stays empty when none can be made.
#include "ravelgrid/gpu/opengl/OpenGlContext.h"

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QSurfaceFormat>

#include <memory>

namespace ravelgrid::test {

struct GlTestContext {
    QOffscreenSurface surface;
    QOpenGLContext context;
    std::shared_ptr<OpenGlContext> handle;

    GlTestContext()
    {
        QSurfaceFormat format;
        format.setVersion(3, 3);
        format.setProfile(QSurfaceFormat::CoreProfile);
        surface.setFormat(format);
        surface.create();
        context.setFormat(format);
        if (context.create() && context.makeCurrent(&surface))
            handle = OpenGlContext::current();
    }
    ~GlTestContext()
    {
        handle.reset();
        context.doneCurrent();
    }
    GlTestContext(const GlTestContext&) = delete;
    GlTestContext& operator=(const GlTestContext&) = delete;
};

}  // namespace ravelgrid::test
