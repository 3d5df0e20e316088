#pragma once

#include "EntryList.h"

#include <QListWidget>

// The recent-entries list: single selection, rows of a fixed height, each row's text clipped
// at the list's edge. Each show lays out and paints the whole list anew.
class ListBox : public QListWidget
{
public:
    // Rows are this high whatever fonts are installed, so 40 fit the start-up size.
    static constexpr int RowHeight = 13;

    explicit ListBox(QWidget *parent = nullptr);

    // Shows `snapshot`'s items, the selected one in view.
    void showEntries(const EntryList::Snapshot &snapshot);

private:
    // How many items had ever been added when the list was last brought up to date.
    quint64 m_shownAdded = 0;
};
