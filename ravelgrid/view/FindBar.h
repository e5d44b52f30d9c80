#pragma once

#include "ravelgrid/selection/SearchTypes.h"

#include <QFrame>

#include <functional>

class QLineEdit;
class QToolButton;

namespace ravelgrid {

// The small find bar at the top right of a terminal view: the term, previous
// and next, the three search options and close. Return finds the next match,
// Shift+Return the previous one, Escape closes.
class FindBar : public QFrame {
    Q_OBJECT

public:
    static constexpr int maxWidth = 520;
    static constexpr int margin = 8;

    explicit FindBar(QWidget* parent = nullptr);

    std::function<void(const QString&)> onSearchChanged;
    std::function<void()> onFindNext;
    std::function<void()> onFindPrevious;
    std::function<void()> onClose;
    std::function<void(const SearchOptions&)> onOptionsChanged;

    QLineEdit* searchField() const { return searchField_; }
    QToolButton* previousButton() const { return previousButton_; }
    QToolButton* nextButton() const { return nextButton_; }
    QToolButton* closeButton() const { return closeButton_; }
    QToolButton* caseSensitiveButton() const { return caseButton_; }
    QToolButton* regexButton() const { return regexButton_; }
    QToolButton* wholeWordButton() const { return wordButton_; }
    SearchOptions options() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLineEdit* searchField_ = nullptr;
    QToolButton* previousButton_ = nullptr;
    QToolButton* nextButton_ = nullptr;
    QToolButton* closeButton_ = nullptr;
    QToolButton* caseButton_ = nullptr;
    QToolButton* regexButton_ = nullptr;
    QToolButton* wordButton_ = nullptr;
};

}  // namespace ravelgrid
