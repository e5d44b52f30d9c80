#pragma once

#include "quillmar/app/shell/SessionTarget.h"
#include "quillmar/app/shell/StallProbe.h"

#include <QObject>
#include <QString>
#include <QUuid>

#include <cstdint>
#include <optional>

namespace quillmar {

// One terminal tab: what it runs and how it ended. Main thread only.
class TerminalSession : public QObject {
    Q_OBJECT

public:
    TerminalSession(SessionTarget target, int ordinal, std::uint64_t createdAt, QObject* parent = nullptr);

    const QUuid id;
    const SessionTarget target;
    // One more than the highest among the sessions of the same target open when it was made.
    const int ordinal;

    bool running() const { return running_; }
    std::optional<std::int32_t> exitCode() const { return exitCode_; }
    std::optional<QString> exitDescription() const { return exitDescription_; }
    // Records the end once; a session never runs again.
    void recordExit(std::optional<std::int32_t> code, const QString& description);

    bool exitNoticeDismissed() const { return exitNoticeDismissed_; }
    void setExitNoticeDismissed(bool dismissed);

    std::optional<QString> customName() const { return customName_; }
    void setCustomName(const std::optional<QString>& name);

    StallProbe probe;

    QString title() const;
    QString summary() const;
    // The shell the summary names for a local session; tests set it.
    static QString localShellLine();

signals:
    void exited();
    void exitNoticeDismissedChanged();
    void titleChanged();

private:
    bool running_ = true;
    std::optional<std::int32_t> exitCode_;
    std::optional<QString> exitDescription_;
    bool exitNoticeDismissed_ = false;
    std::optional<QString> customName_;
};

}  // namespace quillmar
