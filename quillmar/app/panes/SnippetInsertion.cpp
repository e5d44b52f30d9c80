#include "quillmar/app/panes/SnippetInsertion.h"

#include "quillmar/app/shell/FocusingTerminalView.h"
#include "quillmar/app/shell/TerminalHost.h"
#include "quillmar/app/shell/ToolTab.h"
#include "quillmar/app/shell/Workspace.h"

#include <QClipboard>
#include <QGuiApplication>

namespace quillmar {

PreparedSnippet prepareSnippetCommand(std::string_view command)
{
    PreparedSnippet out;
    out.text.reserve(command.size());
    for (std::size_t i = 0; i < command.size(); ++i) {
        const char c = command[i];
        if (c == '\r') {
            out.text.push_back('\n');
            if (i + 1 < command.size() && command[i + 1] == '\n')
                ++i;
        } else {
            out.text.push_back(c);
        }
    }
    while (!out.text.empty() && out.text.back() == '\n')
        out.text.pop_back();
    out.multiLine = out.text.find('\n') != std::string::npos;
    return out;
}

std::string bracketedPasteSafe(std::string_view text)
{
    static constexpr std::string_view endMarker = "\x1b[201~";
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.substr(i, endMarker.size()) == endMarker) {
            i += endMarker.size() - 1;
            continue;
        }
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 && c != '\t' && c != '\n')
            continue;
        out.push_back(text[i]);
    }
    // Removing controls can join the pieces of a marker ("\x1b\x01[201~").
    // The ESC is gone by then, so what is left is plain text.
    return out;
}

SnippetInsertion::SnippetInsertion(Workspace& workspace, HostLookup hostFor, platform::Scheduler& clock,
                                   QObject* parent)
    : QObject(parent), workspace_(workspace), hostFor_(std::move(hostFor)), tasks_(clock)
{}

void SnippetInsertion::insert(const Snippet& snippet)
{
    const auto active = workspace_.activeID();
    const auto sessionID = active ? active->session() : std::nullopt;
    TerminalHost* host = nullptr;
    if (sessionID) {
        if (auto session = workspace_.session(*sessionID); session && session->running())
            host = hostFor_ ? hostFor_(*sessionID) : nullptr;
    }
    FocusingTerminalView* view = host ? host->view() : nullptr;
    if (!view) {
        showNotice(tr(qUtf8Printable(noTerminalNotice)));
        return;
    }
    const PreparedSnippet prepared = prepareSnippetCommand(snippet.command);
    // The view drops every control; taking a stored end marker out whole
    // first leaves no "[201~" of it at the prompt.
    if (!view->pasteSnippet(QString::fromStdString(bracketedPasteSafe(prepared.text)))) {
        if (QClipboard* clipboard = QGuiApplication::clipboard())
            clipboard->setText(QString::fromStdString(prepared.text), QClipboard::Clipboard);
        showNotice(tr(qUtf8Printable(copiedInsteadNotice)));
    }
}

void SnippetInsertion::copy(const Snippet& snippet)
{
    if (QClipboard* clipboard = QGuiApplication::clipboard()) {
        clipboard->clear(QClipboard::Clipboard);
        clipboard->setText(QString::fromStdString(snippet.command), QClipboard::Clipboard);
    }
}

void SnippetInsertion::showNotice(const QString& text)
{
    notice_ = text;
    emit noticeChanged();
    // Not cancelled when replaced: the block only clears its own text.
    tasks_.after(noticeLifetimeNs, [this, text] {
        if (notice_ && *notice_ == text) {
            notice_.reset();
            emit noticeChanged();
        }
    });
}

}  // namespace quillmar
