// The link side of TerminalView: which link lies under the pointer, its
// highlight and preview, which link a click opens and how it is opened.
#include "ravelgrid/view/TerminalView.h"

#include "ravelgrid/screen/Buffer.h"
#include "ravelgrid/screen/TinyAtom.h"
#include "ravelgrid/view/LinkOpener.h"

#include <QFontDatabase>
#include <QLabel>

#include <algorithm>
#include <set>

namespace ravelgrid {
namespace {

// The preview never grows past this, however long the target.
constexpr int kMaxPreviewChars = 2000;

}  // namespace

void TerminalView::setLinkHighlightMode(LinkHighlightMode mode) {
    if (linkHighlightMode_ == mode)
        return;
    linkHighlightMode_ = mode;
    if (linkHighlightRange_ && mode != LinkHighlightMode::hover && mode != LinkHighlightMode::hoverWithModifier) {
        auto old = std::move(linkHighlightRange_);
        linkHighlightRange_.reset();
        invalidateLinkHighlightRows(old, std::nullopt);
    }
    updateMouseTracking();
    redrawAll();
}

std::optional<std::string> TerminalView::linkAtPosition(int col, int bufferRow) const {
    const Buffer& buffer = *terminal_->buffer;
    auto& ring = const_cast<Buffer&>(buffer).lines();
    if (bufferRow < 0 || bufferRow >= ring.count())
        return std::nullopt;
    const BufferLine& line = ring[bufferRow];
    if (line.dataSize() <= 0)
        return std::nullopt;
    col = std::clamp(col, 0, line.dataSize() - 1);
    auto payloadOf = [&](int c) -> std::optional<std::string> {
        const uint16_t code = line[c].payload.code;
        const std::string* target = code == 0 ? nullptr : terminal_->payloadTable().target(code);
        return target ? std::optional<std::string>(*target) : std::nullopt;
    };
    auto value = payloadOf(col);
    // The right half of a wide character belongs to its link.
    if (!value && line[col].code == 0 && col > 0 && line[col - 1].width == 2)
        value = payloadOf(col - 1);
    return value;
}

std::optional<std::pair<std::string, std::map<std::string, std::string>>> TerminalView::urlPreviewText(
    std::string_view payload) {
    // The URI may hold ";" itself: it is everything after the first one.
    auto uri = Terminal::parseHyperlinkPayload(payload);
    if (!uri)
        return std::nullopt;
    std::map<std::string, std::string> params;
    const std::string_view head = payload.substr(0, payload.find(';'));
    size_t start = 0;
    while (start <= head.size()) {
        size_t end = head.find(':', start);
        if (end == std::string_view::npos)
            end = head.size();
        const std::string_view piece = head.substr(start, end - start);
        if (!piece.empty()) {
            const size_t eq = piece.find('=');
            if (eq != std::string_view::npos && piece.find('=', eq + 1) == std::string_view::npos)
                params[std::string(piece.substr(0, eq))] = std::string(piece.substr(eq + 1));
        }
        start = end + 1;
    }
    return std::pair{std::move(*uri), std::move(params)};
}

QFont TerminalView::tryUrlFont() {
    const QStringList installed = QFontDatabase::families();
    for (const char* name : {"Optima", "Helvetica", "Helvetica Neue"}) {
        const QString family = QString::fromLatin1(name);
        if (installed.contains(family, Qt::CaseInsensitive)) {
            QFont font(family);
            font.setPixelSize(12);
            return font;
        }
    }
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPixelSize(12);
    return font;
}

void TerminalView::showUrlPreview(const std::string& payload) {
    const auto parsed = urlPreviewText(payload);
    if (!parsed)
        return;
    QString text = QString::fromStdString(parsed->first);
    if (text.size() > kMaxPreviewChars)
        text = text.left(kMaxPreviewChars) + QChar(0x2026);
    if (!urlPreview_) {
        urlPreview_ = new QLabel(this);
        urlPreview_->setObjectName(QStringLiteral("urlPreview"));
        urlPreview_->setTextFormat(Qt::PlainText);
        urlPreview_->setFont(tryUrlFont());
        urlPreview_->setAutoFillBackground(true);
        urlPreview_->setAttribute(Qt::WA_TransparentForMouseEvents);
        QPalette palette = urlPreview_->palette();
        // Inverted, so it stands out from the terminal's text.
        palette.setColor(QPalette::Window, nativeForegroundColor());
        palette.setColor(QPalette::WindowText, nativeBackgroundColor());
        urlPreview_->setPalette(palette);
    }
    if (urlPreview_->text() != text)
        urlPreview_->setText(text);
    urlPreview_->adjustSize();
    urlPreview_->move(0, height() - urlPreview_->height());
    urlPreview_->show();
    urlPreview_->raise();
}

void TerminalView::hideUrlPreview() {
    if (!urlPreview_)
        return;
    urlPreview_->deleteLater();
    urlPreview_->hide();
    urlPreview_ = nullptr;
}

std::optional<LinkMatch> TerminalView::linkUnder(Position grid, bool withImplicit) {
    Buffer& buffer = terminal_->activeBuffer();
    const auto at = terminal_->resolveLinkLocation(LinkLookupLocation::buffer(grid), buffer);
    if (!at)
        return std::nullopt;
    if (auto match = terminal_->explicitLinkMatch(*at, buffer))
        return match;
    if (!withImplicit)
        return std::nullopt;
    return terminal_->implicitLinkMatch(*at, buffer);
}

void TerminalView::updateLinkHighlight(Position grid, std::optional<bool> modifierHeld) {
    const bool held = modifierHeld.value_or(commandActive_);
    const bool allowed = linkHighlightMode_ == LinkHighlightMode::hover ||
                         (linkHighlightMode_ == LinkHighlightMode::hoverWithModifier && held);
    std::optional<LinkMatch> match;
    if (allowed && linkReporting_ != LinkReporting::none)
        match = linkUnder(grid, linkReporting_ == LinkReporting::implicit);
    // A link that would not open is not shown as one.
    if (match && !linkWouldOpen(*match, linkTarget(*match, grid).url))
        match.reset();
    if (!match)
        linkVerdict_.reset();
    if (match && linkHighlightRange_ && *linkHighlightRange_ == match->rowRanges)
        return;
    if (!match && !linkHighlightRange_)
        return;
    auto old = std::move(linkHighlightRange_);
    linkHighlightRange_.reset();
    if (match)
        linkHighlightRange_ = std::move(match->rowRanges);
    invalidateLinkHighlightRows(old, linkHighlightRange_);
    queuePendingDisplay();
}

void TerminalView::invalidateLinkHighlightRows(const std::optional<std::vector<LinkMatch::RowRange>>& before,
                                               const std::optional<std::vector<LinkMatch::RowRange>>& after) {
    std::set<int> rows;
    for (const auto* ranges : {&before, &after})
        if (*ranges)
            for (const auto& r : **ranges)
                rows.insert(r.row);
    const int yDisp = terminal_->activeBuffer().yDisp();
    for (int row : rows) {
        const int screenRow = row - yDisp;
        if (screenRow >= 0 && screenRow < terminal_->rows)
            terminal_->updateRange(screenRow);
    }
}

std::optional<std::pair<int, int>> TerminalView::linkColumns(int bufferRow) const {
    if (!linkHighlightRange_)
        return std::nullopt;
    for (const auto& r : *linkHighlightRange_)
        if (r.row == bufferRow && !r.range.empty())
            return std::pair<int, int>{r.range.lowerBound, r.range.upperBound};
    return std::nullopt;
}

std::string TerminalView::visibleLinkText(const LinkMatch& match) {
    std::string text;
    for (const auto& r : match.rowRanges) {
        if (r.range.empty())
            continue;
        text += terminal_->translateBufferLineToString(terminal_->activeBuffer(), r.row, r.range.lowerBound,
                                                       r.range.upperBound);
    }
    return text;
}

std::optional<std::pair<std::string, std::map<std::string, std::string>>> TerminalView::handleMouseUpAction(
    Position grid, bool ctrlHeld) {
    clickedLink_.reset();
    if (linkReporting_ == LinkReporting::none)
        return std::nullopt;
    const bool highlightShown =
        (linkHighlightMode_ == LinkHighlightMode::hover && linkHighlightRange_) ||
        (linkHighlightMode_ == LinkHighlightMode::hoverWithModifier && ctrlHeld && linkHighlightRange_);
    Buffer& buffer = terminal_->activeBuffer();
    const auto at = terminal_->resolveLinkLocation(LinkLookupLocation::buffer(grid), buffer);
    if (!at)
        return std::nullopt;
    std::optional<LinkMatch> match = terminal_->explicitLinkMatch(*at, buffer);
    if (!match) {
        if (!highlightShown || linkReporting_ != LinkReporting::implicit)
            return std::nullopt;
        match = terminal_->implicitLinkMatch(*at, buffer);
        if (!match)
            return std::nullopt;
    }
    const bool sameAsHighlight = linkHighlightRange_ && *linkHighlightRange_ == match->rowRanges;
    bool ok = false;
    switch (linkHighlightMode_) {
    case LinkHighlightMode::hover: ok = sameAsHighlight; break;
    case LinkHighlightMode::hoverWithModifier: ok = ctrlHeld && sameAsHighlight; break;
    case LinkHighlightMode::always: ok = match->isExplicit; break;
    case LinkHighlightMode::alwaysWithModifier: ok = match->isExplicit && ctrlHeld; break;
    }
    if (!ok)
        return std::nullopt;
    LinkTarget target = linkTarget(*match, grid);
    if (!linkWouldOpen(*match, target.url))
        return std::nullopt;
    if (target.fromPayload)
        clickedLink_ = std::pair{target.url, visibleLinkText(*match)};
    return std::pair{std::move(target.url), std::move(target.params)};
}

TerminalView::LinkTarget TerminalView::linkTarget(const LinkMatch& match, Position grid) {
    if (match.isExplicit)
        if (const auto payload = linkAtPosition(grid.col, grid.row))
            if (auto parsed = urlPreviewText(*payload))
                return {std::move(parsed->first), std::move(parsed->second), true};
    return {match.text, {}, false};
}

bool TerminalView::linkWouldOpen(const LinkMatch& match, const std::string& url) {
    if (linkVerdict_ && linkVerdict_->ranges == match.rowRanges && linkVerdict_->url == url)
        return linkVerdict_->opens;
    const bool opens = resolveLinkURL(url).has_value();
    linkVerdict_ = LinkVerdict{match.rowRanges, url, opens};
    return opens;
}

std::optional<QUrl> TerminalView::resolveLinkURL(const std::string& link) {
    LinkOpener::Context context;
    context.trusted = isProcessTrusted(*terminal_);
    context.currentDirectory = terminal_->hostCurrentDirectory;
    return LinkOpener::resolve(link, context);
}

bool TerminalView::openLink(const std::string& link) {
    const auto clicked = std::exchange(clickedLink_, std::nullopt);
    const auto url = resolveLinkURL(link);
    if (!url)
        return false;
    // An OSC 8 link's text is the output's to choose: say where it leads.
    const bool disguised = clicked && clicked->first == link && LinkOpener::textDisguisesTarget(clicked->second, link);
    const QString target = QString::fromStdString(link);
    if ((disguised || LinkOpener::targetHidesText(target)) && !LinkOpener::confirm(this, target, disguised))
        return false;
    return LinkOpener::open(*url);
}

}  // namespace ravelgrid
