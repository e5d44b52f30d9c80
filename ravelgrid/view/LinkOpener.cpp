#include "ravelgrid/view/LinkOpener.h"

#include "platform/FileRead.h"
#include "platform/Log.h"
#include "ravelgrid/view/PlainText.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QRegularExpression>
#include <QScreen>
#include <QStringDecoder>
#include <QSysInfo>
#include <QTextBoundaryFinder>
#include <QTimer>

#include <algorithm>
#include <cctype>

namespace ravelgrid {
namespace {

// Longer link strings are not links anyone clicks on purpose.
constexpr size_t kMaxLinkBytes = 8192;
// The longest host name DNS carries.
constexpr qsizetype kMaxHostChars = 253;

LinkOpener::OpenHook& openHook()
{
    static LinkOpener::OpenHook hook;
    return hook;
}

LinkOpener::ConfirmHook& confirmHook()
{
    static LinkOpener::ConfirmHook hook;
    return hook;
}

// "scheme" of "scheme:rest", when the text starts with a well-formed one.
std::optional<QString> schemeOf(const QString& text)
{
    static const QRegularExpression re(QStringLiteral("^([A-Za-z][A-Za-z0-9+.-]*):"));
    const auto m = re.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    return m.captured(1).toLower();
}

bool isWebScheme(const QString& scheme)
{
    return scheme == QLatin1String("http") || scheme == QLatin1String("https") || scheme == QLatin1String("ftp");
}

// Enough of a file's start for every content rule of the MIME database (an
// ISO image, as the first AppImages are, names itself past 32 KiB).
constexpr size_t kSniffBytes = 64 * 1024;

// What the desktop runs, installs or renders with scripts rather than shows,
// though it may call it text, an image or a document. Subtypes count too.
constexpr const char* kRunnableTypes[] = {
    "application/x-executable",
    "application/x-pie-executable",
    "application/x-sharedlib",
    "application/x-elf",
    "application/x-ms-dos-executable",
    "application/x-msdownload",
    "application/x-dosexec",
    "application/vnd.microsoft.portable-executable",
    "application/x-msi",
    "application/x-ms-installer",
    "application/x-bat",
    "application/x-msdos-program",
    "application/x-shellscript",
    "application/x-csh",
    "text/x-python",
    "text/x-python3",
    "application/x-python-bytecode",
    "application/x-perl",
    "text/x-perl",
    "application/x-ruby",
    "application/x-php",
    "application/x-asp",
    "text/tcl",
    "text/x-tcl",
    "text/x-lua",
    "application/x-awk",
    "application/ecmascript",
    "application/javascript",
    "text/javascript",
    "text/vbscript",
    "application/x-java",
    "application/x-desktop",
    "application/x-ms-shortcut",
    "application/x-mswinurl",
    "application/x-java-jnlp-file",
    "application/vnd.flatpak",
    "application/vnd.flatpak.ref",
    "application/vnd.flatpak.repo",
    "application/java-archive",
    "application/x-java-archive",
    "application/x-iso9660-appimage",
    "application/vnd.appimage",
    "application/x-appimage",
    // Pages and drawings a browser opens with their scripts.
    "text/html",
    "text/htmlh",
    "application/xhtml+xml",
    "image/svg+xml",
    "image/svg+xml-compressed",
    "application/vnd.mozilla.xul+xml",
    "application/xslt+xml",
    "text/vnd.wap.wml",
    // Programs in documents' clothing, and files that import, connect or launch.
    "application/postscript",
    "application/rtf",
    "application/x-ipynb+json",
    "text/x-ms-regedit",
    "application/x-ica",
    "application/x-cisco-vpn-settings",
    "application/x-nautilus-link",
    "application/zip",
    // Playlists, calendars, cards, mail, feeds and download lists: their
    // program connects to, fetches or imports what they name.
    "audio/x-mpegurl",
    "application/vnd.apple.mpegurl",
    "video/vnd.mpegurl",
    "audio/x-scpls",
    "audio/x-ms-asx",
    "audio/x-iriver-pla",
    "application/vnd.ms-wpl",
    "application/ram",
    "application/xspf+xml",
    "application/smil+xml",
    "text/x-mrml",
    "application/x-quicktime-media-link",
    "text/x-google-video-pointer",
    "text/x-uri",
    "application/sdp",
    "text/calendar",
    "text/vcard",
    "text/x-ldif",
    "application/mbox",
    "text/rfc822-headers",
    "application/rss+xml",
    "application/atom+xml",
    "text/x-opml+xml",
    "application/metalink+xml",
    "application/metalink4+xml",
    "application/x-nzb",
    "application/x-bittorrent",
    "audio/x-amzxml",
    "application/vnd.emusic-emusic_package",
    "application/vnd.google-earth.kml+xml",
    "application/vnd.google-earth.kmz",
    "application/mathml+xml",
};

// The type, its aliases and every parent type.
QStringList lineageOf(const QMimeType& type)
{
    QStringList names = type.allAncestors();
    names << type.name() << type.aliases();
    // JSON is data, though the database files it under JavaScript.
    if (type.inherits(QStringLiteral("application/json")))
        names.removeIf([](const QString& name) {
            return name == QLatin1String("application/javascript") || name == QLatin1String("application/ecmascript") ||
                   name == QLatin1String("application/x-executable");
        });
    return names;
}

bool isRunnableName(const QString& name)
{
    for (const char* runnable : kRunnableTypes)
        if (name == QLatin1String(runnable))
            return true;
    return name.startsWith(QLatin1String("text/x-script.")) || name.startsWith(QLatin1String("message/")) ||
           name.contains(QLatin1String("executable")) || name.contains(QLatin1String("script")) ||
           name.contains(QLatin1String("macroenabled"), Qt::CaseInsensitive);
}

// XML is not plain text: a browser opens it and runs the XHTML scripts or
// fetches the stylesheets it holds.
bool isXmlName(const QString& name)
{
    return name == QLatin1String("application/xml") || name == QLatin1String("text/xml") ||
           name.endsWith(QLatin1String("+xml"));
}

// What the desktop shows: plain text and its kinds, images, PDF, sound and
// video; never a kind that runs.
bool desktopShows(const QMimeType& type)
{
    if (!type.isValid())
        return false;
    const QStringList lineage = lineageOf(type);
    bool shown = false;
    for (const QString& name : lineage) {
        if (isRunnableName(name) || isXmlName(name))
            return false;
        shown = shown || name == QLatin1String("text/plain") || name == QLatin1String("application/pdf") ||
                name.startsWith(QLatin1String("image/")) || name.startsWith(QLatin1String("audio/")) ||
                name.startsWith(QLatin1String("video/"));
    }
    return shown;
}

// A line that opens a launcher or shortcut, wherever comments put it: a
// database rule looks only near the start.
bool holdsLauncherGroup(std::string_view data, bool more)
{
    static constexpr std::string_view kGroups[] = {"[desktop entry]", "[kde desktop entry]", "[internetshortcut]",
                                                   "[flatpak ref]", "[flatpak repo]"};
    bool onlyComments = true;
    size_t pos = 0;
    if (data.starts_with("\xEF\xBB\xBF"))
        pos = 3;
    while (pos < data.size()) {
        size_t end = data.find_first_of("\r\n", pos);
        if (end == std::string_view::npos)
            end = data.size();
        std::string_view line = data.substr(pos, end - pos);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
            line.remove_prefix(1);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
            line.remove_suffix(1);
        std::string lower(line.substr(0, 32));
        for (char& c : lower)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        for (std::string_view group : kGroups)
            if (lower == group)
                return true;
        if (!line.empty() && line.front() != '#' && line.front() != ';')
            onlyComments = false;
        pos = end + 1;
    }
    // Nothing but comments as far as we read, and more to come: the group may follow.
    return more && onlyComments;
}

// Whether a file is markup the desktop would not just show once the blank
// space and comments it starts with are passed: the database's content rules
// look only at the first bytes, so a page after a long comment would pass for
// plain text. XML by its declaration counts, whatever follows, and so does a
// start that is only blank space and comments as far as we read.
bool hidesMarkup(const QByteArray& head, bool more, const QMimeDatabase& db)
{
    QByteArray text = head;
    // UTF-16 and UTF-32 are markup's other spellings.
    const auto encoding = QStringConverter::encodingForData(head, u'<');
    const bool decoded = encoding && *encoding != QStringConverter::Utf8;
    if (decoded) {
        QStringDecoder decoder(*encoding);
        text = QString(decoder.decode(head)).toUtf8();
    }
    const qsizetype start = text.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    qsizetype pos = start;
    for (;;) {
        while (pos < text.size() && std::isspace(static_cast<unsigned char>(text.at(pos))))
            ++pos;
        if (!QByteArrayView(text).sliced(pos).startsWith("<!--"))
            break;
        const qsizetype end = text.indexOf("-->", pos + 4);
        pos = end < 0 ? text.size() : end + 3;
    }
    const QByteArrayView rest = QByteArrayView(text).sliced(pos);
    if (rest.startsWith("<?xml"))
        return true;
    if (rest.isEmpty())
        return more;
    // Nothing passed over: the database has read it as it is.
    if (pos == start && !decoded)
        return false;
    return !desktopShows(db.mimeTypeForData(rest.toByteArray()));
}

// "name.ext": an extension after the last dot that does not start the name.
bool hasExtension(const QString& name)
{
    qsizetype start = 0;
    while (start < name.size() && name.at(start) == QLatin1Char('.'))
        ++start;
    return name.indexOf(QLatin1Char('.'), start) >= 0;
}

bool isSystemPath(const QString& path)
{
    for (const char* root : {"/proc", "/sys", "/dev"}) {
        const QLatin1String r(root);
        if (path == r || (path.startsWith(r) && path.at(r.size()) == QLatin1Char('/')))
            return true;
    }
    return false;
}

// Why the desktop must not be handed this file (the final target of a path
// as asked for), or nothing when it may show it.
std::optional<const char*> refusalOf(const QString& asked, const QString& canonical)
{
    if (hasHiddenCharacters(asked) || hasHiddenCharacters(canonical))
        return QT_TR_NOOP("its name hides characters");
    if (isSystemPath(asked) || isSystemPath(canonical))
        return QT_TR_NOOP("it is a system file");
    // One descriptor answers every question, so a pipe or a device swapped in
    // meanwhile is never read. One byte more tells whether the file goes on.
    auto head = platform::readRegularFileHead(QFile::encodeName(canonical).toStdString(), kSniffBytes + 1);
    if (!head.ok())
        return QT_TR_NOOP("it is not a regular file");
    if (head.mode & 0111)
        return QT_TR_NOOP("it is a program");
    const bool more = head.data.size() > kSniffBytes;
    head.data.resize(std::min(head.data.size(), kSniffBytes));
    if (holdsLauncherGroup(head.data, more))
        return QT_TR_NOOP("it may be a launcher");
    const QByteArray data = QByteArray::fromRawData(head.data.data(), qsizetype(head.data.size()));
    QString name = QFileInfo(canonical).fileName();
    QMimeDatabase db;
    if (hidesMarkup(data, more, db))
        return QT_TR_NOOP("the desktop would not just show it");
    // The desktop may go by the name, the content or both: each reading,
    // with every parent type, must be one it shows. Trailing dots and
    // spaces are dropped by some openers.
    const QString zeroSize = QStringLiteral("application/x-zerosize");
    QList<QMimeType> types{db.mimeTypeForFileNameAndData(name, data), db.mimeTypeForData(data)};
    types.removeIf([&](const QMimeType& type) { return type.name() == zeroSize; });
    QList<QMimeType> byName = db.mimeTypesForFileName(name);
    while (name.endsWith(QLatin1Char('.')) || name.endsWith(QLatin1Char(' ')))
        name.chop(1);
    byName << db.mimeTypesForFileName(name);
    // An extension the database does not know may be one a program claims.
    if (byName.isEmpty() && hasExtension(name))
        return QT_TR_NOOP("its kind is not known");
    types << byName;
    for (const QMimeType& type : types)
        if (!desktopShows(type))
            return QT_TR_NOOP("the desktop would not just show it");
    return std::nullopt;
}

// The ASCII form of a URL's host when it is written in international
// letters (any label in punycode).
std::optional<QString> internationalHostOf(const QString& target)
{
    const QUrl url(target);
    if (!url.isValid())
        return std::nullopt;
    const QString ace = url.host(QUrl::EncodeUnicode);
    for (const QString& label : ace.split(QLatin1Char('.')))
        if (label.startsWith(QLatin1String("xn--"), Qt::CaseInsensitive))
            return ace;
    return std::nullopt;
}

// Longest run of a question's text without a break, in pixels: narrower
// than the message box's label, which is a little less than half the screen.
constexpr int kQuestionRunWidth = 360;

// Runs without a space wider than `width` are cut into lines at character
// boundaries, so the label wraps them instead of losing their ends.
QString wrapLongRuns(const QString& text, const QFontMetrics& metrics, int width)
{
    QString out;
    out.reserve(text.size() + text.size() / 32);
    QTextBoundaryFinder clusters(QTextBoundaryFinder::Grapheme, text);
    qsizetype start = 0;
    int run = 0;
    for (qsizetype end = clusters.toNextBoundary(); end > 0; start = end, end = clusters.toNextBoundary()) {
        const QStringView cluster = QStringView(text).mid(start, end - start);
        if (cluster.front().isSpace()) {
            out += cluster;
            run = 0;
            continue;
        }
        const int advance = metrics.horizontalAdvance(cluster.toString());
        if (run > 0 && run + advance > width) {
            out += QLatin1Char('\n');
            run = 0;
        }
        out += cluster;
        run += advance;
    }
    return out;
}

// A target short enough to read in a question: the scheme, user and host
// always whole, the rest shortened in the middle when it is very long.
QString shownTarget(const QString& target)
{
    constexpr qsizetype kMaxRest = 600;
    constexpr qsizetype kMaxUser = 200;
    auto shortened = [](const QString& part, qsizetype max) {
        if (part.size() <= max)
            return part;
        return part.left(max / 2) + QChar(0x2026) + part.right(max / 2);
    };
    const qsizetype sep = target.indexOf(QLatin1String("://"));
    if (sep < 0)
        return shortened(target, 2 * kMaxRest);
    const qsizetype begin = sep + 3;
    qsizetype end = target.size();
    for (const QChar c : {QLatin1Char('/'), QLatin1Char('?'), QLatin1Char('#')}) {
        const qsizetype at = target.indexOf(c, begin);
        if (at >= 0)
            end = std::min(end, at);
    }
    const QString authority = target.mid(begin, end - begin);
    const qsizetype at = authority.lastIndexOf(QLatin1Char('@'));
    const QString user = at >= 0 ? shortened(authority.left(at), kMaxUser) + QLatin1Char('@') : QString();
    return target.left(begin) + user + authority.mid(at + 1) + shortened(target.mid(end), kMaxRest);
}

// The local path of a file: URL naming this machine (no host, "localhost"
// or our own name, as shells write it).
std::optional<QString> localPathOf(const QUrl& url)
{
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

void LinkOpener::setOpenHook(OpenHook hook)
{
    openHook() = std::move(hook);
}
void LinkOpener::setConfirmHook(ConfirmHook hook)
{
    confirmHook() = std::move(hook);
}

bool LinkOpener::open(const QUrl& url)
{
    if (openHook())
        return openHook()(url);
    return QDesktopServices::openUrl(url);
}

bool LinkOpener::confirm(QWidget* parent, const QString& target, bool disguised)
{
    if (confirmHook())
        return confirmHook()(parent, target);
    return ask(question(parent, target, disguised)) == QMessageBox::Open;
}

std::unique_ptr<QMessageBox> LinkOpener::question(QWidget* parent, const QString& target, bool disguised)
{
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
    sentences << QObject::tr("Open %1?").arg(shownTarget(revealHiddenCharacters(target)));
    auto box = plainQuestion(parent, QObject::tr("Open Link"), QString(), QMessageBox::Open | QMessageBox::Cancel,
                             QMessageBox::Cancel);
    // A message box lets a word wider than itself run out of sight: the end
    // of a long host name would not show.
    const int screenWidth = box->screen() ? box->screen()->availableGeometry().width() : 800;
    const int runWidth = std::clamp(screenWidth / 2 - 100, 120, kQuestionRunWidth);
    box->setText(wrapLongRuns(sentences.join(QLatin1Char(' ')), box->fontMetrics(), runWidth));
    return box;
}

void LinkOpener::showRefusal(QWidget* parent, const QString& text)
{
    auto* label = parent->findChild<QLabel*>(QLatin1String(kNoticeName), Qt::FindDirectChildrenOnly);
    if (!label) {
        label = plainLabel(QString(), parent);
        label->setObjectName(QLatin1String(kNoticeName));
        label->setAutoFillBackground(true);
        label->setAttribute(Qt::WA_TransparentForMouseEvents);
        label->setContentsMargins(6, 3, 6, 3);
        label->setBackgroundRole(QPalette::ToolTipBase);
        label->setForegroundRole(QPalette::ToolTipText);
        auto* timer = new QTimer(label);
        timer->setObjectName(QStringLiteral("hide"));
        timer->setSingleShot(true);
        timer->setInterval(kNoticeMs);
        QObject::connect(timer, &QTimer::timeout, label, &QWidget::hide);
    }
    label->setText(text);
    label->adjustSize();
    label->move(std::max(0, parent->width() - label->width()), 0);
    label->show();
    label->raise();
    label->findChild<QTimer*>(QStringLiteral("hide"))->start();
}

std::optional<QString> LinkOpener::directoryOf(const Context& context)
{
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

std::optional<QUrl> LinkOpener::resolvePath(const QString& raw, const Context& context)
{
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
        if (context.noticeParent)
            showRefusal(context.noticeParent,
                        QObject::tr("Did not open %1: %2.")
                            .arg(revealHiddenCharacters(QFileInfo(asked).fileName()), QObject::tr(*why)));
        return std::nullopt;
    }
    return QUrl::fromLocalFile(canonical);
}

std::optional<QUrl> LinkOpener::resolve(std::string_view link, const Context& context)
{
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
            // No name server answers a longer name; the question shows it whole.
            if (url.host(QUrl::EncodeUnicode).size() > kMaxHostChars)
                return std::nullopt;
            // Some mail programs attach a local file named in the link.
            if (*scheme == QLatin1String("mailto") &&
                url.query().contains(QLatin1String("attach"), Qt::CaseInsensitive))
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

bool LinkOpener::textDisguisesTarget(std::string_view visible, std::string_view target)
{
    const QString shown = QString::fromUtf8(visible.data(), qsizetype(visible.size())).trimmed();
    const QString to = QString::fromUtf8(target.data(), qsizetype(target.size()));
    if (shown == to)
        return false;
    const qsizetype sep = to.indexOf(QLatin1String("://"));
    if (sep > 0 && shown == to.mid(sep + 3))
        return false;
    return true;
}

bool LinkOpener::targetHidesText(const QString& target)
{
    return hasHiddenCharacters(target) || internationalHostOf(target).has_value();
}

}  // namespace ravelgrid
