#include "quillmar/app/sidebar/RowMenuKeys.h"

#include <QAbstractItemView>
#include <QContextMenuEvent>
#include <QItemSelectionModel>
#include <QKeyEvent>

namespace quillmar {
namespace {

class RowMenuKeys final : public QObject {
public:
    explicit RowMenuKeys(QAbstractItemView* view) : QObject(view), view_(view) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        bool fromKeys = false;
        if (event->type() == QEvent::ContextMenu)
            fromKeys = static_cast<QContextMenuEvent*>(event)->reason() != QContextMenuEvent::Mouse;
        else if (event->type() == QEvent::KeyPress) {
            const auto* key = static_cast<QKeyEvent*>(event);
            fromKeys = key->key() == Qt::Key_F10 && (key->modifiers() & ~Qt::KeypadModifier) == Qt::ShiftModifier;
        }
        if (!fromKeys)
            return QObject::eventFilter(watched, event);
        const QModelIndex row = highlighted();
        if (row.isValid()) {
            view_->scrollTo(row);
            const QRect rect = view_->visualRect(row);
            emit view_->customContextMenuRequested(QPoint(rect.left() + rect.height() / 2, rect.center().y()));
        }
        return true;
    }

private:
    QModelIndex highlighted() const
    {
        QItemSelectionModel* selection = view_->selectionModel();
        if (!selection)
            return {};
        const QModelIndex current = selection->currentIndex();
        if (current.isValid() && selection->isSelected(current))
            return current;
        const QModelIndexList chosen = selection->selectedIndexes();
        return chosen.isEmpty() ? current : chosen.first();
    }

    QAbstractItemView* view_;
};

}  // namespace

void openRowMenusFromKeyboard(QAbstractItemView* view)
{
    if (view)
        view->installEventFilter(new RowMenuKeys(view));
}

}  // namespace quillmar
