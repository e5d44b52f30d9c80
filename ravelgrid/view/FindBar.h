#pragma once

#include "ravelgrid/selection/SearchTypes.h"

#include <QFrame>

class QLineEdit;
class QToolButton;

namespace ravelgrid {

// The small find bar at the top right of a terminal view: the term, previous
// and next, the three search options and close. Return asks for the next
// match, Shift+Return for the previous one, Escape to close; whoever owns the
// bar answers its signals and reads the term and options from it.
class FindBar : public QFrame {
    Q_OBJECT

public:
    static constexpr int maxWidth = 520;
    static constexpr int margin = 8;

    explicit FindBar(QWidget* parent = nullptr);

    QLineEdit* searchField() const { return searchField_; }
    QToolButton* previousButton() const { return previousButton_; }
    QToolButton* nextButton() const { return nextButton_; }
    QToolButton* closeButton() const { return closeButton_; }
    QToolButton* caseSensitiveButton() const { return caseButton_; }
    QToolButton* regexButton() const { return regexButton_; }
    QToolButton* wholeWordButton() const { return wordButton_; }
    QString term() const;
    // Puts a term in the field without a termChanged.
    void setTerm(const QString& term);
    // The field takes the focus with its text selected, to be typed over.
    void focusTerm();
    SearchOptions options() const;

signals:
    void termChanged(const QString& term);
    void nextRequested();
    void previousRequested();
    void optionsChanged();
    void closeRequested();

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
