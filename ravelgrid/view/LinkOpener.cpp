#include "ravelgrid/view/LinkOpener.h"

#include "platform/FileRead.h"
#include "platform/Log.h"
#include "ravelgrid/view/PlainText.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QRegularExpression>
#include <QSysInfo>

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

// Enough of a file's start for every content rule of the MIME database (an
// ISO image, as the first AppImages are, names itself past 32 KiB).
constexpr size_t kSniffBytes = 64 * 1024;

// What the desktop runs rather than shows: programs and libraries, scripts,
// launchers, and archives that start a program. Their subtypes count too.
constexpr const char* kRunnableTypes[] = {
    "application/x-executable", "application/x-pie-executable", "application/x-sharedlib",
    "application/x-elf", "application/x-ms-dos-executable", "application/x-msdownload",
    "application/x-dosexec", "application/vnd.microsoft.portable-executable", "application/x-msi",
    "application/x-ms-installer", "application/x-bat", "application/x-msdos-program",
    "application/x-shellscript", "application/x-csh", "text/x-python", "text/x-python3",
    "application/x-python-bytecode", "application/x-perl", "text/x-perl", "application/x-ruby",
    "application/x-php", "text/tcl", "text/x-tcl", "text/x-lua", "application/x-awk",
    "application/ecmascript", "application/javascript", "text/javascript", "text/vbscript",
    "application/x-java", "application/x-desktop", "application/x-ms-shortcut", "application/x-mswinurl",
    "application/x-java-jnlp-file", "application/vnd.flatpak", "application/vnd.flatpak.ref",
    "application/vnd.flatpak.repo", "application/java-archive", "application/x-java-archive",
    "application/x-iso9660-appimage", "application/vnd.appimage", "application/x-appimage",
};

bool isRunnableType(const QMimeType& type) {
    if (!type.isValid())
        return false;
    // JSON is data, though the database files it under JavaScript.
    if (type.inherits(QStringLiteral("application/json")))
        return false;
    for (const char* name : kRunnableTypes)
        if (type.inherits(QLatin1String(name)))
            return true;
    QStringList names = type.allAncestors();
    names << type.name() << type.aliases();
    for (const QString& name : names)
        if (name.startsWith(QLatin1String("text/x-script.")) || name.contains(QLatin1String("executable")))
            return true;
    return false;
}

bool isSystemPath(const QString& path) {
    for (const char* root : {"/proc", "/sys", "/dev"}) {
        const QLatin1String r(root);
        if (path == r || (path.startsWith(r) && path.at(r.size()) == QLatin1Char('/')))
            return true;
    }
    return false;
}

// Why the desktop must not be handed this file (the final target of a path
// as asked for), or nothing when it may show it.
std::optional<const char*> refusalOf(const QString& asked, const QString& canonical) {
    if (hasHiddenCharacters(asked) || hasHiddenCharacters(canonical))
        return "its name hides characters";
    if (isSystemPath(asked) || isSystemPath(canonical))
        return "it is a system file";
    // One descriptor answers every question, so a pipe or a device swapped in
    // meanwhile is never read.
    const auto head = platform::readRegularFileHead(QFile::encodeName(canonical).toStdString(), kSniffBytes);
    if (!head.ok())
        return "it is not a regular file";
    if (head.mode & 0111)
        return "it is a program";
    const QByteArray data = QByteArray::fromRawData(head.data.data(), qsizetype(head.data.size()));
    QString name = QFileInfo(canonical).fileName();
    QMimeDatabase db;
    // The desktop may go by the name, the content or both; none of them may
    // say "run". Trailing dots and spaces are dropped by some openers.
    QList<QMimeType> types{db.mimeTypeForFileNameAndData(name, data), db.mimeTypeForData(data)};
    types << db.mimeTypesForFileName(name);
    while (name.endsWith(QLatin1Char('.')) || name.endsWith(QLatin1Char(' ')))
        name.chop(1);
    types << db.mimeTypesForFileName(name);
    for (const QMimeType& type : types)
        if (isRunnableType(type))
            return "the desktop would run it";
    return std::nullopt;
}

// The ASCII form of a URL's host when it is written in international
// letters (any label in punycode).
std::optional<QString> internationalHostOf(const QString& target) {
    const QUrl url(target);
    if (!url.isValid())
        return std::nullopt;
    const QString ace = url.host(QUrl::EncodeUnicode);
    for (const QString& label : ace.split(QLatin1Char('.')))
        if (label.startsWith(QLatin1String("xn--"), Qt::CaseInsensitive))
            return ace;
    return std::nullopt;
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

bool LinkOpener::confirm(QWidget* parent, const QString& target, bool disguised) {
    if (confirmHook())
        return confirmHook()(parent, target);
    return ask(question(parent, target, disguised)) == QMessageBox::Open;
}

std::unique_ptr<QMessageBox> LinkOpener::question(QWidget* parent, const QString& target, bool disguised) {
    QStringList sentences;
    if (disguised)
        sentences << QObject::tr("The link's text differs from where it leads.");
    for (const char32_t c : target.toUcs4()) {
        if (isHiddenCharacter(c)) {
            sentences << QObject::tr("The target hides characters; they are written out here as code points, "
                                     "like %1.")
                             .arg(revealHiddenCharacters(QString::fromUcs4(&c, 1)));
            break;
        }
    }
    if (const auto ace = internationalHostOf(target))
        sentences << QObject::tr("The host name %1 is written in international letters; in ASCII it reads %2.")
                         .arg(QUrl::fromAce(ace->toLatin1(), QUrl::IgnoreIDNWhitelist), *ace);
    sentences << QObject::tr("Open %1?").arg(revealHiddenCharacters(target));
    return plainQuestion(parent, QObject::tr("Open Link"), sentences.join(QLatin1Char(' ')),
                         QMessageBox::Open | QMessageBox::Cancel, QMessageBox::Cancel);
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
    const QString asked = QDir::cleanPath(path);
    // Links resolved: what opens is the final target.
    const QString canonical = QFileInfo(asked).canonicalFilePath();
    if (canonical.isEmpty())
        return std::nullopt;
    if (const auto why = refusalOf(asked, canonical)) {
        platform::logWarning("view", "did not open " + revealHiddenCharacters(asked).toStdString() + ": " + *why);
        return std::nullopt;
    }
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

bool LinkOpener::targetHidesText(const QString& target) {
    return hasHiddenCharacters(target) || internationalHostOf(target).has_value();
}

}  // namespace ravelgrid
