#include "quillmar/app/MainWindow.h"

#include "platform/Log.h"
#include "ravelgrid/view/QtDeliveryQueue.h"

#include <QApplication>
#include <QDir>
#include <QFontDatabase>

namespace {

// Fonts shipped beside the executable; the ones from the fonts packages are
// found through fontconfig anyway.
void registerBundledFonts() {
    const QString base = QCoreApplication::applicationDirPath();
    for (const QString& dir : {base + QStringLiteral("/fonts"), base + QStringLiteral("/../share/quillmar/fonts")}) {
        const QDir folder(dir);
        for (const QString& name : folder.entryList({QStringLiteral("*.ttf"), QStringLiteral("*.otf")}, QDir::Files))
            QFontDatabase::addApplicationFont(folder.filePath(name));
    }
}

void logToQt(platform::LogLevel level, std::string_view category, std::string_view message) {
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

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("quillmar"));
    QApplication::setOrganizationName(QStringLiteral("quillmar"));
    platform::setLogSink(logToQt);
    registerBundledFonts();

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
