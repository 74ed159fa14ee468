#include "app/ResultTreeView.h"

#include <QPainter>

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

void TResultTreeView::SetEmptyText(const QString& text)
{
    if (text == m_emptyText) return;
    m_emptyText = text;
    viewport()->update();
}

void TResultTreeView::paintEvent(QPaintEvent* event)
{
    QTreeView::paintEvent(event);
    if (m_emptyText.isEmpty() || !model() || model()->rowCount() > 0) return;
    QPainter painter(viewport());
    painter.setPen(palette().color(QPalette::Disabled, QPalette::Text));
    painter.drawText(viewport()->rect().adjusted(24, 24, -24, -24), Qt::AlignCenter | Qt::TextWordWrap, m_emptyText);
}

}  // namespace sorvena
