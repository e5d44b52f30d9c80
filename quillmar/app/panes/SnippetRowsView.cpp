#include "quillmar/app/panes/SnippetRowsView.h"

#include <QFontMetrics>
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

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
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
        const QString mark = index.data(SnippetTreeModel::markRole).toString();
        if (mark.isEmpty()) {
            QStyledItemDelegate::paint(painter, shifted, index);
            return;
        }
        // A long title gives way, not its platform mark.
        QStyleOptionViewItem item = shifted;
        initStyleOption(&item, index);
        QStyle* style = view_->style();
        const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view_) + 1;
        const int room = style->subElementRect(QStyle::SE_ItemViewItemText, &item, view_).width() - 2 * margin;
        item.text = fitSnippetRowText(item.text, mark, item.fontMetrics, room);
        style->drawControl(QStyle::CE_ItemViewItem, &item, painter, view_);
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        if (index.column() == 0)
            size.rwidth() += view_->indentation() * (index.data(SnippetRowsModel::headerRole).toBool() ? 1 : 2);
        return size;
    }

private:
    QTreeView* view_;
};

}  // namespace

QString fitSnippetRowText(const QString& text, const QString& mark, const QFontMetrics& metrics, int width)
{
    if (mark.isEmpty() || !text.endsWith(mark) || metrics.horizontalAdvance(text) <= width)
        return text;
    const QString title = text.left(text.size() - mark.size());
    // Whole pixels here, fractional ones where the row is drawn: a pixel to spare.
    const int titleRoom = width - metrics.horizontalAdvance(mark) - 1;
    if (titleRoom <= metrics.horizontalAdvance(QChar(0x2026)))
        return text;
    return metrics.elidedText(title, Qt::ElideRight, titleRoom) + mark;
}

SnippetRowsView::SnippetRowsView(QWidget* parent) : QTreeView(parent)
{
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setExpandsOnDoubleClick(false);
    setUniformRowHeights(true);
    setItemDelegate(new BranchLook(this));
}

void SnippetRowsView::setRows(SnippetRowsModel* rows)
{
    rows_ = rows;
    setModel(rows);
}

void SnippetRowsView::toggle(const QModelIndex& header, std::optional<bool> open)
{
    if (!rows_ || !rows_->isHeader(header))
        return;
    // Only the first column names the category, whichever one was clicked.
    const QModelIndex name = header.siblingAtColumn(0);
    rows_->setOpen(name.data(SnippetTreeModel::categoryRole).toString(),
                   open.value_or(!name.data(SnippetRowsModel::openRole).toBool()));
}

void SnippetRowsView::mousePressEvent(QMouseEvent* event)
{
    const QModelIndex index = indexAt(event->position().toPoint());
    if (event->button() == Qt::LeftButton && rows_ && rows_->isHeader(index) && index.column() == 0 &&
        event->position().x() < visualRect(index).left() + indentation()) {
        toggle(index);
        event->accept();
        return;
    }
    QTreeView::mousePressEvent(event);
}

void SnippetRowsView::mouseDoubleClickEvent(QMouseEvent* event)
{
    const QModelIndex index = indexAt(event->position().toPoint());
    QTreeView::mouseDoubleClickEvent(event);
    if (event->button() != Qt::LeftButton || !index.isValid())
        return;
    if (rows_ && rows_->isHeader(index))
        toggle(index);
    else
        emit snippetActivated(index);
}

void SnippetRowsView::keyPressEvent(QKeyEvent* event)
{
    const QModelIndex current = currentIndex();
    if (rows_ && rows_->isHeader(current) && (event->key() == Qt::Key_Left || event->key() == Qt::Key_Right)) {
        toggle(current, event->key() == Qt::Key_Right);
        event->accept();
        return;
    }
    QTreeView::keyPressEvent(event);
}

}  // namespace quillmar
