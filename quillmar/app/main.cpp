#include "quillmar/app/shell/MainWindow.h"
#include "quillmar/app/style/TerminalFont.h"

#include "platform/Log.h"
#include "ravelgrid/view/GpuTerminalHost.h"
#include "ravelgrid/view/QtDeliveryQueue.h"

#include <QApplication>

namespace {

void logToQt(platform::LogLevel level, std::string_view category, std::string_view message)
{
    const QByteArray text = QByteArray(message.data(), qsizetype(message.size()));
    const QByteArray cat = QByteArray(category.data(), qsizetype(category.size()));
    switch (level) {
    case platform::LogLevel::debug: qDebug("[%s] %s", cat.constData(), text.constData()); break;
    case platform::LogLevel::info: qInfo("[%s] %s", cat.constData(), text.constData()); break;
    case platform::LogLevel::warning: qWarning("[%s] %s", cat.constData(), text.constData()); break;
    case platform::LogLevel::error: qCritical("[%s] %s", cat.constData(), text.constData()); break;
    }
}

}  // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("quillmar"));
    QApplication::setOrganizationName(QStringLiteral("quillmar"));
    // Ties the window (its X class and Wayland app id) to quillmar.desktop.
    QGuiApplication::setDesktopFileName(QStringLiteral("quillmar"));
    platform::setLogSink(logToQt);
    quillmar::registerApplicationFonts();
    // An installed copy of the shader source, beside the one built in.
    ravelgrid::GpuTerminalHost::shaderSearch().folders.push_back(
        (QApplication::applicationDirPath() + QStringLiteral("/../share/quillmar/shaders")).toStdString());

    // Child output is delivered on this thread's event loop; the queue
    // outlives every window and so every process.
    auto deliveryQueue = ravelgrid::QtDeliveryQueue::installAsMain();

    int status = 0;
    {
        quillmar::MainWindow window;
        window.show();
        status = QApplication::exec();
    }
    platform::setLogSink(nullptr);
    return status;
}
