#pragma once

#include "EntryList.h"

#include <QListWidget>

// The recent-entries list: single selection, fixed row height, and each copy of the list shown
// as what changed since the last one. Entries that push older ones out scroll what is already
// drawn, so a show paints only the new rows.
class ListBox : public QListWidget
{
public:
    // Rows are this high whatever fonts are installed, so 40 fit the start-up size.
    static constexpr int RowHeight = 13;

    explicit ListBox(QWidget *parent = nullptr);

    // Shows `snapshot`'s items, the selected one in view.
    void showEntries(const EntryList::Snapshot &snapshot);

protected:
    void dataChanged(const QModelIndex &topLeft,
                     const QModelIndex &bottomRight,
                     const QList<int> &roles) override;

private:
    bool scrollUp(const EntryList::Snapshot &snapshot, qsizetype added);

    // How many items had ever been added when the list was last brought up to date.
    quint64 m_shownAdded = 0;
    // Set while the items move up one place per new entry: their pixels move with them.
    bool m_scrolling = false;
};
