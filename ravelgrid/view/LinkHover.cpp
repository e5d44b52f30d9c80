#include "ravelgrid/view/LinkHover.h"

#include "ravelgrid/screen/Buffer.h"
#include "ravelgrid/view/PlainText.h"
#include "ravelgrid/view/TerminalView.h"

#include <QLabel>

#include <set>

namespace ravelgrid {
namespace {

// The preview never grows past this, however long the target.
constexpr int kMaxPreviewChars = 2000;

}  // namespace

void LinkHover::setMode(LinkHighlightMode mode)
{
    mode_ = mode;
    dropHighlight();
}

bool LinkHover::dropHighlight()
{
    if (!highlight_)
        return false;
    auto old = std::move(highlight_);
    highlight_.reset();
    invalidateRows(old, std::nullopt);
    return true;
}

std::optional<std::pair<int, int>> LinkHover::columns(int bufferRow) const
{
    if (!highlight_)
        return std::nullopt;
    for (const auto& r : *highlight_)
        if (r.row == bufferRow && !r.range.empty())
            return std::pair<int, int>{r.range.lowerBound, r.range.upperBound};
    return std::nullopt;
}

void LinkHover::showPreview(const std::string& payload)
{
    const auto parsed = TerminalView::urlPreviewText(payload);
    if (!parsed)
        return;
    QString text = QString::fromStdString(parsed->first);
    if (text.size() > kMaxPreviewChars) {
        const qsizetype cut = text.at(kMaxPreviewChars - 1).isHighSurrogate() ? kMaxPreviewChars - 1 : kMaxPreviewChars;
        text = text.left(cut) + QChar(0x2026);
    }
    // The remote program chose the target: a direction override would make
    // "a<U+202E>gnp.exe" read as a picture.
    text = revealHiddenCharacters(text);
    if (!preview_) {
        preview_ = new QLabel(&view_);
        preview_->setObjectName(QStringLiteral("urlPreview"));
        preview_->setTextFormat(Qt::PlainText);
        preview_->setFont(TerminalView::tryUrlFont());
        preview_->setAutoFillBackground(true);
        preview_->setAttribute(Qt::WA_TransparentForMouseEvents);
        QPalette palette = preview_->palette();
        // Inverted, so it stands out from the terminal's text.
        palette.setColor(QPalette::Window, view_.nativeForegroundColor());
        palette.setColor(QPalette::WindowText, view_.nativeBackgroundColor());
        preview_->setPalette(palette);
    }
    if (preview_->text() != text)
        preview_->setText(text);
    preview_->adjustSize();
    preview_->move(0, view_.height() - preview_->height());
    preview_->show();
    preview_->raise();
}

void LinkHover::hidePreview()
{
    if (!preview_)
        return;
    preview_->deleteLater();
    preview_->hide();
    preview_ = nullptr;
}

std::optional<LinkMatch> LinkHover::linkUnder(Position grid, bool withImplicit)
{
    Terminal& terminal = view_.terminal();
    Buffer& buffer = terminal.activeBuffer();
    const auto at = terminal.resolveLinkLocation(LinkLookupLocation::buffer(grid), buffer);
    if (!at)
        return std::nullopt;
    if (auto match = terminal.explicitLinkMatch(*at, buffer))
        return match;
    if (!withImplicit)
        return std::nullopt;
    return terminal.implicitLinkMatch(*at, buffer);
}

void LinkHover::updateHighlight(Position grid, std::optional<bool> modifierHeld)
{
    std::optional<LinkMatch> match;
    if (mayHighlight(modifierHeld.value_or(modifierHeld_)) && reporting_ != LinkReporting::none)
        match = linkUnder(grid, reporting_ == LinkReporting::implicit);
    // A link that would not open is not shown as one.
    if (match && !linkWouldOpen(*match, linkTarget(*match, grid).url))
        match.reset();
    if (!match)
        verdict_.reset();
    if (match && highlight_ && *highlight_ == match->rowRanges)
        return;
    if (!match && !highlight_)
        return;
    auto old = std::move(highlight_);
    highlight_.reset();
    if (match)
        highlight_ = std::move(match->rowRanges);
    invalidateRows(old, highlight_);
    view_.queuePendingDisplay();
}

void LinkHover::followPointer(Position grid)
{
    if (modifierHeld_)
        if (auto payload = view_.linkAtPosition(grid.col, grid.row))
            showPreview(*payload);
    updateHighlight(grid, std::nullopt);
}

void LinkHover::invalidateRows(const std::optional<Ranges>& before, const std::optional<Ranges>& after)
{
    std::set<int> rows;
    for (const auto* ranges : {&before, &after})
        if (*ranges)
            for (const auto& r : **ranges)
                rows.insert(r.row);
    Terminal& terminal = view_.terminal();
    const int yDisp = terminal.activeBuffer().yDisp();
    for (int row : rows) {
        const int screenRow = row - yDisp;
        if (screenRow >= 0 && screenRow < terminal.rows)
            terminal.updateRange(screenRow);
    }
}

std::string LinkHover::visibleLinkText(const LinkMatch& match)
{
    Terminal& terminal = view_.terminal();
    std::string text;
    for (const auto& r : match.rowRanges) {
        if (r.range.empty())
            continue;
        text += terminal.translateBufferLineToString(terminal.activeBuffer(), r.row, r.range.lowerBound,
                                                     r.range.upperBound);
    }
    return text;
}

std::optional<LinkHover::Target> LinkHover::clickTarget(Position grid, bool ctrlHeld)
{
    clickedLink_.reset();
    clickedRemote_.reset();
    if (reporting_ == LinkReporting::none)
        return std::nullopt;
    const bool hover = mayHighlight(ctrlHeld);
    // A detected link opens only where the highlight shows one.
    const auto match = linkUnder(grid, hover && highlight_ && reporting_ == LinkReporting::implicit);
    if (!match)
        return std::nullopt;
    // The hover modes open what the highlight shows; the others OSC 8 links only.
    const bool ok =
        hover ? highlight_ && *highlight_ == match->rowRanges : match->isExplicit && underlinesAll(ctrlHeld);
    if (!ok)
        return std::nullopt;
    LinkTarget target = linkTarget(*match, grid);
    if (!linkWouldOpen(*match, target.url))
        return std::nullopt;
    if (target.fromPayload)
        clickedLink_ = std::pair{target.url, visibleLinkText(*match)};
    if (printedByRemote(*match))
        clickedRemote_ = target.url;
    return Target{std::move(target.url), std::move(target.params)};
}

bool LinkHover::requestOpen(Position grid, bool ctrlHeld)
{
    const auto link = clickTarget(grid, ctrlHeld);
    if (!link)
        return false;
    if (TerminalViewDelegate* delegate = view_.terminalDelegate())
        delegate->requestOpenLink(view_, link->first, link->second);
    clickedLink_.reset();
    clickedRemote_.reset();
    return true;
}

bool LinkHover::opensOnClick(Position grid, bool ctrlHeld)
{
    updateHighlight(grid, ctrlHeld);
    const bool opens = clickTarget(grid, ctrlHeld).has_value();
    clickedLink_.reset();
    clickedRemote_.reset();
    return opens;
}

LinkHover::LinkTarget LinkHover::linkTarget(const LinkMatch& match, Position grid)
{
    if (match.isExplicit)
        if (const auto payload = view_.linkAtPosition(grid.col, grid.row))
            if (auto parsed = TerminalView::urlPreviewText(*payload))
                return {std::move(parsed->first), std::move(parsed->second), true};
    return {match.text, {}, false};
}

bool LinkHover::printedByRemote(const LinkMatch& match)
{
    Terminal& terminal = view_.terminal();
    return terminal.linkPrintedByRemote(match, terminal.activeBuffer());
}

bool LinkHover::linkWouldOpen(const LinkMatch& match, const std::string& url)
{
    if (verdict_ && verdict_->ranges == match.rowRanges && verdict_->url == url)
        return verdict_->opens;
    const bool opens = view_.resolveLinkURL(url, printedByRemote(match)).has_value();
    verdict_ = Verdict{match.rowRanges, url, opens};
    return opens;
}

}  // namespace ravelgrid
