#pragma once

#include "EntryList.h"

class QListWidget;

// The recent-entries list over a list widget.
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

private:
    QListWidget *m_widget;
};
