#pragma once

#include <QOpenGLFunctions_3_3_Core>
#include <QPointer>

#include <memory>

class QOffscreenSurface;
class QOpenGLContext;
class QSurface;

namespace ravelgrid {

// The context a set of GL objects belongs to. GL names are deleted with
// this very context current (on a surface of our own when no other is),
// and forgotten once the context is gone, since they died with it.
class OpenGlContext {
public:
    // Nothing without a current, valid context offering GL 3.3 core.
    static std::shared_ptr<OpenGlContext> current();

    ~OpenGlContext();
    OpenGlContext(const OpenGlContext&) = delete;
    OpenGlContext& operator=(const OpenGlContext&) = delete;

    QOpenGLContext* context() const { return context_; }
    QOpenGLFunctions_3_3_Core& gl() { return *functions_; }
    bool alive() const { return context_ && context_->isValid(); }

    // Makes the context current for a scope and restores the previous one.
    class Scope {
    public:
        explicit Scope(OpenGlContext& owner);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
        bool ok() const { return ok_; }

    private:
        QPointer<QOpenGLContext> previous_;
        QSurface* previousSurface_ = nullptr;
        bool switched_ = false;
        bool ok_ = false;
    };

private:
    explicit OpenGlContext(QOpenGLContext* context);
    QPointer<QOpenGLContext> context_;
    QOpenGLFunctions_3_3_Core* functions_ = nullptr;
    std::unique_ptr<QOffscreenSurface> surface_;
};

}  // namespace ravelgrid
