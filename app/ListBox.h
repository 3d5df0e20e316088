#pragma once

#include "EntryList.h"

#include <QStringList>

class QListWidget;

// The recent-entries list over a list widget. During an update it keeps the changes aside
// and hands the widget only the outcome, so entries pushed out again cost no drawing.
class ListBox : public EntryList
{
public:
    // Rows are this high whatever fonts are installed, so 40 fit the start-up size.
    static constexpr int RowHeight = 13;

    // Sets the widget up as the logger's list: single selection, fixed row height.
    explicit ListBox(QListWidget *widget);

    void addItem(const QString &text) override;
    int count() const override;
    void setSelectedIndex(int index) override;
    void removeFirst() override;
    void beginUpdate() override;
    void endUpdate() override;

private:
    void select(int index);

    QListWidget *m_widget;
    bool m_updating = false;
    // While updating: how many of the widget's first items are gone, the items added since,
    // and the selection last asked for (-2: none asked).
    int m_removed = 0;
    QStringList m_added;
    int m_selected = -2;
};
