#include "ravelgrid/gpu/opengl/OpenGlContext.h"

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLVersionFunctionsFactory>

namespace ravelgrid {

std::shared_ptr<OpenGlContext> OpenGlContext::current()
{
    QOpenGLContext* context = QOpenGLContext::currentContext();
    if (!context || !context->isValid())
        return nullptr;
    auto* functions = QOpenGLVersionFunctionsFactory::get<QOpenGLFunctions_3_3_Core>(context);
    if (!functions || !functions->initializeOpenGLFunctions())
        return nullptr;
    std::shared_ptr<OpenGlContext> made(new OpenGlContext(context));
    made->functions_ = functions;
    return made;
}

OpenGlContext::OpenGlContext(QOpenGLContext* context) : context_(context)
{
    surface_ = std::make_unique<QOffscreenSurface>(context->screen());
    surface_->setFormat(context->format());
    surface_->create();
}

OpenGlContext::~OpenGlContext() = default;

OpenGlContext::Scope::Scope(OpenGlContext& owner)
{
    if (!owner.alive())
        return;
    QOpenGLContext* now = QOpenGLContext::currentContext();
    if (now == owner.context_) {
        ok_ = true;
        return;
    }
    previous_ = now;
    previousSurface_ = now ? now->surface() : nullptr;
    switched_ = true;
    ok_ = owner.surface_ && owner.surface_->isValid() && owner.context_->makeCurrent(owner.surface_.get());
}

OpenGlContext::Scope::~Scope()
{
    if (!switched_)
        return;
    if (previous_ && previousSurface_)
        previous_->makeCurrent(previousSurface_);
    else if (QOpenGLContext* now = QOpenGLContext::currentContext())
        now->doneCurrent();
}

}  // namespace ravelgrid
