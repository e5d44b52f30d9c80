#pragma once

#include "quillmar/app/shell/TerminalSession.h"

#include <QWidget>

#include <functional>
#include <memory>

class QHBoxLayout;
class QLabel;
class QLineEdit;
class QToolButton;

namespace quillmar {

// The close cross of a chip: "qm-x" at 12 px in the muted text colour.
QToolButton* makeCloseButton(const QString& help, QWidget* parent);

// The chip frame shared by session and tool chips: padding, the raised fill
// and accent underline of the active tab, one click to select.
class ChipBase : public QWidget {
    Q_OBJECT

public:
    explicit ChipBase(std::function<void()> onSelect, std::function<void()> onClose, QWidget* parent = nullptr);

    bool isActive() const { return active_; }
    void setActive(bool active);
    QToolButton* closeButton() const { return closeButton_; }
    // Takes the theme's colours again (the appearance changed).
    void restyle();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;
    virtual void activeChanged() {}

    QHBoxLayout* row_ = nullptr;
    QToolButton* closeButton_ = nullptr;
    std::function<void()> onSelect_;
    std::function<void()> onClose_;
    bool active_ = false;
};

// One session's tab: status dot, title (or the rename field) and close
// button. A double click renames: Return keeps the trimmed text (empty goes
// back to the default title), Escape leaves the name as it was.
class TabChip : public ChipBase {
    Q_OBJECT

public:
    TabChip(std::shared_ptr<TerminalSession> session, std::function<void()> onSelect, std::function<void()> onClose,
            QWidget* parent = nullptr);

    const std::shared_ptr<TerminalSession>& session() const { return session_; }
    QString titleText() const;
    bool editing() const { return editing_; }
    QLineEdit* renameField() const { return field_; }

    // running or 0: green (faded once ended); no code or ssh's 255: red; else amber.
    // In the variant of the widget's window.
    static QColor statusColor(const TerminalSession& session, const QWidget* widget = nullptr);
    QColor dotColor() const { return statusColor(*session_, this); }

    void beginRename();
    void commitRename();
    void cancelRename();

signals:
    // The rename field had the keyboard and is gone.
    void renameEnded();

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void activeChanged() override;

private:
    void refresh();

    std::shared_ptr<TerminalSession> session_;
    QWidget* dot_ = nullptr;
    QLabel* title_ = nullptr;
    QLineEdit* field_ = nullptr;
    bool editing_ = false;
};

}  // namespace quillmar
