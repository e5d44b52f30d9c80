#pragma once

#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>
#include <string_view>

class QMessageBox;
class QWidget;

namespace ravelgrid {

// Turns link text from the terminal (untrusted output) into something safe to
// hand to the desktop, and hands it over. Only web and mail links open from
// any session; files open only for a trusted (local) session, resolved
// against the directory the shell reported, and only regular files that the
// desktop would show rather than run.
class LinkOpener {
public:
    // What the desktop opens a URL with; QDesktopServices::openUrl unless a
    // test replaced it.
    using OpenHook = std::function<bool(const QUrl&)>;
    // Asked before a link opens whose text names another target or whose
    // target hides characters; true opens.
    using ConfirmHook = std::function<bool(QWidget* parent, const QString& target)>;

    static void setOpenHook(OpenHook hook);
    static void setConfirmHook(ConfirmHook hook);
    static bool open(const QUrl& url);
    static bool confirm(QWidget* parent, const QString& target, bool disguised);
    // The question confirm() asks: `disguised` when the link's text differs
    // from the target.
    static std::unique_ptr<QMessageBox> question(QWidget* parent, const QString& target, bool disguised);

    struct Context {
        bool trusted = false;
        // The shell's working directory as reported (a path or a file: URL).
        std::optional<std::string> currentDirectory;
        // Where a refused file is noticed with a short label; without one
        // only the log says so.
        QWidget* noticeParent = nullptr;
    };

    // The label that says why a file did not open, shown on `parent` for a
    // few seconds; made on the first refusal.
    static constexpr const char* kNoticeName = "linkRefusalNotice";
    static constexpr int kNoticeMs = 4000;
    static void showRefusal(QWidget* parent, const QString& text);

    // The URL a link string stands for, or nothing when it must not open.
    // Paths may end in ":line" or ":line:column", which are dropped.
    static std::optional<QUrl> resolve(std::string_view link, const Context& context);

    // Whether an OSC 8 link's visible text hides where it leads: anything
    // but the target itself or the target without "scheme://".
    static bool textDisguisesTarget(std::string_view visible, std::string_view target);

    // Whether a target reads as something it is not: it holds invisible or
    // direction-changing characters, or its host is in international
    // letters that may pass for another name.
    static bool targetHidesText(const QString& target);

private:
    static std::optional<QUrl> resolvePath(const QString& path, const Context& context);
    static std::optional<QString> directoryOf(const Context& context);
};

}  // namespace ravelgrid
