#pragma once

#include "platform/Scheduler.h"
#include "quillmar/snippets/Snippet.h"

#include <QObject>
#include <QString>
#include <QUuid>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quillmar {

class TerminalHost;
class Workspace;

// A command made ready for the prompt: line breaks ("\n", "\r\n" or a lone
// "\r") become "\n", trailing ones are dropped so nothing runs by itself.
struct PreparedSnippet {
    std::string text;
    bool multiLine = false;
};
PreparedSnippet prepareSnippetCommand(std::string_view command);

// A command made safe to paste, with or without the markers: the end marker
// and every C0 control but tab and line feed are removed, so the text can't
// end a bracketed paste early or steer the shell's line editor.
std::string bracketedPasteSafe(std::string_view text);

// Writes snippets at the prompt of the active terminal tab, copies them to
// the clipboard (the primary selection is left alone) and keeps the notice
// line that says when neither could be done as asked. Main thread only.
class SnippetInsertion final : public QObject {
    Q_OBJECT

public:
    static constexpr std::uint64_t noticeLifetimeNs = 5'000'000'000ULL;
    // The untranslated texts; they are shown through tr().
    static inline const QString noTerminalNotice =
        QStringLiteral(QT_TR_NOOP("Open or switch to a running terminal tab, then insert again."));
    static inline const QString copiedInsteadNotice = QStringLiteral(
        QT_TR_NOOP("This shell can't take a multi-line paste safely, so the command was copied instead."));

    using HostLookup = std::function<TerminalHost*(const QUuid&)>;
    SnippetInsertion(Workspace& workspace, HostLookup hostFor, platform::Scheduler& clock, QObject* parent = nullptr);

    void insert(const Snippet& snippet);
    // The command exactly as stored, trailing line breaks included.
    void copy(const Snippet& snippet);

    std::optional<QString> notice() const { return notice_; }
    // Shows `text` and clears it 5 s later unless another text replaced it.
    void showNotice(const QString& text);

signals:
    void noticeChanged();

private:
    Workspace& workspace_;
    HostLookup hostFor_;
    platform::ScopedTasks tasks_;
    std::optional<QString> notice_;
};

}  // namespace quillmar
