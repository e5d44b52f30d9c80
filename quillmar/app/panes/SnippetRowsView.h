#pragma once

#include "quillmar/app/panes/SnippetRowsModel.h"

#include <QTreeView>

#include <optional>

class QFontMetrics;

namespace quillmar {

// A snippet row's text that fits `width`: a title too long is cut at its end
// while the platform mark `mark` that ends the text stays whole.
QString fitSnippetRowText(const QString& text, const QString& mark, const QFontMetrics& metrics, int width);

// A snippet list that looks and acts like a tree over `SnippetRowsModel`:
// an arrow on each category's row and its snippets indented below it. A
// click on the arrow, a double-click on the row, or Left and Right open and
// close a category; a double-click on a snippet is reported.
class SnippetRowsView final : public QTreeView {
    Q_OBJECT

public:
    explicit SnippetRowsView(QWidget* parent = nullptr);

    // Shows `rows`; the view does not own it.
    void setRows(SnippetRowsModel* rows);
    SnippetRowsModel* rows() const { return rows_; }

signals:
    void snippetActivated(const QModelIndex& row);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void toggle(const QModelIndex& header, std::optional<bool> open = std::nullopt);

    SnippetRowsModel* rows_ = nullptr;
};

}  // namespace quillmar
