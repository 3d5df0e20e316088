#pragma once

#include "EntryList.h"

#include <QStringList>

#include <functional>

class QListWidget;

// The recent-entries list over a list widget. It keeps changes aside until showChanges hands
// the widget their outcome, so entries pushed out again before anyone could see them cost no
// drawing.
class ListBox : public EntryList
{
public:
    // Rows are this high whatever fonts are installed, so 40 fit the start-up size.
    static constexpr int RowHeight = 13;

    // Sets the widget up as the logger's list: single selection, fixed row height. `changed`
    // is called after every change kept aside.
    ListBox(QListWidget *widget, std::function<void()> changed);

    void addItem(const QString &text) override;
    int count() const override;
    void setSelectedIndex(int index) override;
    void removeFirst() override;

    // Hands the widget what changed since the last call.
    void showChanges();

private:
    void select(int index);

    QListWidget *m_widget;
    std::function<void()> m_changed;
    // Since the last showChanges: how many of the widget's first items are gone, the items
    // added since, and the selection last asked for (-2: none asked).
    int m_removed = 0;
    QStringList m_added;
    int m_selected = -2;
};
