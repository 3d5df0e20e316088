#pragma once

#include "EntryList.h"

class QListWidget;

// The recent-entries list shown in a list widget: single selection, fixed row height, and each
// copy of the list handed over as what changed since the last one.
class ListBox
{
public:
    // Rows are this high whatever fonts are installed, so 40 fit the start-up size.
    static constexpr int RowHeight = 13;

    explicit ListBox(QListWidget *widget);

    // Makes the widget show `snapshot`'s items, the selected one in view.
    void show(const EntryList::Snapshot &snapshot);

private:
    QListWidget *m_widget;
    // How many items had ever been added when the widget was last brought up to date.
    quint64 m_shownAdded = 0;
};
