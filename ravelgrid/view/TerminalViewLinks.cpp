// The link side of TerminalView: the payload of a cell and how a link is
// opened. The link under the pointer is LinkHover's.
#include "ravelgrid/view/TerminalView.h"

#include "ravelgrid/screen/Buffer.h"
#include "ravelgrid/screen/TinyAtom.h"
#include "ravelgrid/view/LinkOpener.h"

#include <QFontDatabase>

#include <algorithm>

namespace ravelgrid {

void TerminalView::setLinkHighlightMode(LinkHighlightMode mode)
{
    links_.setMode(mode);
    updateMouseTracking();
    redrawAll();
}

std::optional<std::string> TerminalView::linkAtPosition(int col, int bufferRow) const
{
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

std::optional<std::pair<std::string, std::map<std::string, std::string>>>
TerminalView::urlPreviewText(std::string_view payload)
{
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

QFont TerminalView::tryUrlFont()
{
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

std::optional<QUrl> TerminalView::resolveLinkURL(const std::string& link, bool printedByRemote)
{
    LinkOpener::Context context;
    context.trusted = !printedByRemote && isProcessTrusted(*terminal_);
    context.currentDirectory = terminal_->hostCurrentDirectory;
    context.noticeParent = this;
    return LinkOpener::resolve(link, context);
}

bool TerminalView::openLink(const std::string& link)
{
    const auto clicked = links_.takeClickedLink();
    const auto url = resolveLinkURL(link, links_.takeClickedRemote(link));
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
