#include "quillmar/app/panes/SnippetRowsView.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyledItemDelegate>

namespace quillmar {

namespace {

// Draws the branch a tree view would: the arrow before a category, the
// indent before a snippet.
class BranchLook final : public QStyledItemDelegate {
public:
    explicit BranchLook(QTreeView* view) : QStyledItemDelegate(view), view_(view) {}

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        if (index.column() != 0) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        const int indent = view_->indentation();
        QStyleOptionViewItem shifted = option;
        if (index.data(SnippetRowsModel::headerRole).toBool()) {
            QStyleOption branch;
            branch.initFrom(view_);
            branch.rect = QRect(option.rect.left(), option.rect.top(), indent, option.rect.height());
            branch.state = QStyle::State_Item | QStyle::State_Children;
            if (index.data(SnippetRowsModel::openRole).toBool())
                branch.state |= QStyle::State_Open;
            view_->style()->drawPrimitive(QStyle::PE_IndicatorBranch, &branch, painter, view_);
            shifted.rect.setLeft(option.rect.left() + indent);
        } else {
            shifted.rect.setLeft(option.rect.left() + 2 * indent);
        }
        QStyledItemDelegate::paint(painter, shifted, index);
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        if (index.column() == 0)
            size.rwidth() += view_->indentation() * (index.data(SnippetRowsModel::headerRole).toBool() ? 1 : 2);
        return size;
    }

private:
    QTreeView* view_;
};

}  // namespace

SnippetRowsView::SnippetRowsView(QWidget* parent) : QTreeView(parent) {
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setExpandsOnDoubleClick(false);
    setUniformRowHeights(true);
    setItemDelegate(new BranchLook(this));
}

void SnippetRowsView::setRows(SnippetRowsModel* rows) {
    rows_ = rows;
    setModel(rows);
}

void SnippetRowsView::toggle(const QModelIndex& header, std::optional<bool> open) {
    if (!rows_ || !rows_->isHeader(header))
        return;
    rows_->setOpen(header.data().toString(), open.value_or(!header.data(SnippetRowsModel::openRole).toBool()));
}

void SnippetRowsView::mousePressEvent(QMouseEvent* event) {
    const QModelIndex index = indexAt(event->position().toPoint());
    if (event->button() == Qt::LeftButton && rows_ && rows_->isHeader(index) && index.column() == 0 &&
        event->position().x() < visualRect(index).left() + indentation()) {
        toggle(index);
        event->accept();
        return;
    }
    QTreeView::mousePressEvent(event);
}

void SnippetRowsView::mouseDoubleClickEvent(QMouseEvent* event) {
    const QModelIndex index = indexAt(event->position().toPoint());
    QTreeView::mouseDoubleClickEvent(event);
    if (event->button() != Qt::LeftButton || !index.isValid())
        return;
    if (rows_ && rows_->isHeader(index))
        toggle(index);
    else
        emit snippetActivated(index);
}

void SnippetRowsView::keyPressEvent(QKeyEvent* event) {
    const QModelIndex current = currentIndex();
    if (rows_ && rows_->isHeader(current) && (event->key() == Qt::Key_Left || event->key() == Qt::Key_Right)) {
        toggle(current, event->key() == Qt::Key_Right);
        event->accept();
        return;
    }
    QTreeView::keyPressEvent(event);
}

}  // namespace quillmar
