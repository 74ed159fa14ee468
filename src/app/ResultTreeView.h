#pragma once
// The result list's view. Lives on the GUI thread.
//
// Mouse and keyboard selections hold only rows of one level under one
// parent: torrent rows, or the file rows of one torrent, never a mix. The
// rows kept are those beside the current row. A selection made through the
// selection model directly (Select All) is not restricted.

#include <QTreeView>

namespace sorvena {

class TResultTreeView final : public QTreeView {
public:
    explicit TResultTreeView(QWidget* parent = nullptr) : QTreeView(parent) {}
    Q_DISABLE_COPY_MOVE(TResultTreeView)

    // A line shown in the middle of the list while it has no rows (what to
    // do next, or why nothing is there).
    void SetEmptyText(const QString& text);
    const QString& EmptyText() const { return m_emptyText; }

protected:
    void setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags command) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_emptyText;
};

}  // namespace sorvena
