#include "ravelgrid/view/LinkOpener.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QSysInfo>
#include <QMessageBox>
#include <QRegularExpression>

namespace ravelgrid {
namespace {

// Longer link strings are not links anyone clicks on purpose.
constexpr size_t kMaxLinkBytes = 8192;

LinkOpener::OpenHook& openHook() {
    static LinkOpener::OpenHook hook;
    return hook;
}

LinkOpener::ConfirmHook& confirmHook() {
    static LinkOpener::ConfirmHook hook;
    return hook;
}

// "scheme" of "scheme:rest", when the text starts with a well-formed one.
std::optional<QString> schemeOf(const QString& text) {
    static const QRegularExpression re(QStringLiteral("^([A-Za-z][A-Za-z0-9+.-]*):"));
    const auto m = re.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    return m.captured(1).toLower();
}

bool isWebScheme(const QString& scheme) {
    return scheme == QLatin1String("http") || scheme == QLatin1String("https") || scheme == QLatin1String("ftp");
}

// A file the desktop would run rather than show.
bool isRunnable(const QFileInfo& info) {
    if (info.suffix().compare(QLatin1String("desktop"), Qt::CaseInsensitive) == 0)
        return true;
    return info.isFile() && info.isExecutable();
}

// The local path of a file: URL naming this machine (no host, "localhost"
// or our own name, as shells write it).
std::optional<QString> localPathOf(const QUrl& url) {
    if (!url.isValid() || url.scheme().compare(QLatin1String("file"), Qt::CaseInsensitive) != 0)
        return std::nullopt;
    const QString host = url.host();
    if (!host.isEmpty() && host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) != 0 &&
        host.compare(QSysInfo::machineHostName(), Qt::CaseInsensitive) != 0)
        return std::nullopt;
    const QString path = url.path();
    if (!path.startsWith(QLatin1Char('/')))
        return std::nullopt;
    return path;
}

}  // namespace

void LinkOpener::setOpenHook(OpenHook hook) { openHook() = std::move(hook); }
void LinkOpener::setConfirmHook(ConfirmHook hook) { confirmHook() = std::move(hook); }

bool LinkOpener::open(const QUrl& url) {
    if (openHook())
        return openHook()(url);
    return QDesktopServices::openUrl(url);
}

bool LinkOpener::confirm(QWidget* parent, const QString& target) {
    if (confirmHook())
        return confirmHook()(parent, target);
    const auto answer = QMessageBox::question(
        parent, QObject::tr("Open Link"),
        QObject::tr("The link's text differs from where it leads. Open %1?").arg(target),
        QMessageBox::Open | QMessageBox::Cancel, QMessageBox::Cancel);
    return answer == QMessageBox::Open;
}

std::optional<QString> LinkOpener::directoryOf(const Context& context) {
    if (!context.currentDirectory || context.currentDirectory->empty())
        return std::nullopt;
    const QString text = QString::fromStdString(*context.currentDirectory);
    QString path;
    if (text.startsWith(QLatin1String("file:"), Qt::CaseInsensitive)) {
        const auto local = localPathOf(QUrl(text));
        if (!local)
            return std::nullopt;
        path = *local;
    } else {
        path = text;
    }
    if (!QDir::isAbsolutePath(path))
        return std::nullopt;
    return path;
}

std::optional<QUrl> LinkOpener::resolvePath(const QString& raw, const Context& context) {
    if (!context.trusted || raw.isEmpty())
        return std::nullopt;
    QString path = raw;
    if (path == QLatin1String("~") || path.startsWith(QLatin1String("~/"))) {
        path = QDir::homePath() + path.mid(1);
    } else if (!QDir::isAbsolutePath(path)) {
        // Never the application's own working directory.
        const auto dir = directoryOf(context);
        if (!dir)
            return std::nullopt;
        path = QDir(*dir).filePath(path);
    }
    const QFileInfo info(QDir::cleanPath(path));
    if (!info.exists() || isRunnable(info))
        return std::nullopt;
    // A link pointing at a program is as bad as the program.
    const QString canonical = info.canonicalFilePath();
    if (canonical.isEmpty())
        return std::nullopt;
    const QFileInfo target(canonical);
    if (isRunnable(target))
        return std::nullopt;
    return QUrl::fromLocalFile(canonical);
}

std::optional<QUrl> LinkOpener::resolve(std::string_view link, const Context& context) {
    if (link.empty() || link.size() > kMaxLinkBytes)
        return std::nullopt;
    const QString text = QString::fromUtf8(link.data(), qsizetype(link.size())).trimmed();
    if (text.isEmpty())
        return std::nullopt;
    for (const QChar c : text)
        if (c.category() == QChar::Other_Control)
            return std::nullopt;

    static const QRegularExpression lineSuffix(QStringLiteral(":[0-9]+(?::[0-9]+)?$"));
    if (const auto scheme = schemeOf(text)) {
        if (isWebScheme(*scheme) || *scheme == QLatin1String("mailto")) {
            const QUrl url(text, QUrl::StrictMode);
            if (!url.isValid() || (isWebScheme(*scheme) && url.host().isEmpty()))
                return std::nullopt;
            // Some mail programs attach a local file named in the link.
            if (*scheme == QLatin1String("mailto") && url.query().contains(QLatin1String("attach"), Qt::CaseInsensitive))
                return std::nullopt;
            return url;
        }
        if (*scheme == QLatin1String("file")) {
            const auto local = localPathOf(QUrl(text, QUrl::StrictMode));
            if (!local)
                return std::nullopt;
            return resolvePath(*local, context);
        }
        // "name.txt:12" reads like a scheme but is a path with a line.
        QString stripped = text;
        stripped.remove(lineSuffix);
        if (stripped.contains(QLatin1Char(':')))
            return std::nullopt;
    }
    if (auto exact = resolvePath(text, context))
        return exact;
    const auto m = lineSuffix.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    return resolvePath(text.left(m.capturedStart()), context);
}

bool LinkOpener::textDisguisesTarget(std::string_view visible, std::string_view target) {
    const QString shown = QString::fromUtf8(visible.data(), qsizetype(visible.size())).trimmed();
    const QString to = QString::fromUtf8(target.data(), qsizetype(target.size()));
    if (shown == to)
        return false;
    const qsizetype sep = to.indexOf(QLatin1String("://"));
    if (sep > 0 && shown == to.mid(sep + 3))
        return false;
    return true;
}

}  // namespace ravelgrid
