#include "app/ResultTreeView.h"

#include <QItemSelectionModel>

namespace sorvena {

void TResultTreeView::setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags command)
{
    QTreeView::setSelection(rect, command);
    QItemSelectionModel* selection = selectionModel();
    if (!selection || !model()) return;
    // Mouse and keyboard handling set the current row before they select.
    const QModelIndex parent = selection->currentIndex().parent();
    const int lastColumn = model()->columnCount(parent) - 1;
    QItemSelection outside;
    for (const QModelIndex& row : selection->selectedRows()) {
        if (row.parent() == parent) continue;
        outside.select(row.siblingAtColumn(0), row.siblingAtColumn(lastColumn));
    }
    if (!outside.isEmpty()) selection->select(outside, QItemSelectionModel::Deselect);
}

}  // namespace sorvena
