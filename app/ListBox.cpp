#include "ListBox.h"

#include <QListWidget>
#include <QStyledItemDelegate>

namespace {

class FixedRowDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        return {QStyledItemDelegate::sizeHint(option, index).width(), ListBox::RowHeight};
    }

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        // Every repaint lays out the text of each visible row; forty entries of 64 KiB took
        // half a second a time and stalled the logger. No row is wider than this much text.
        constexpr qsizetype ShownCharacters = 2000;
        if (option->text.size() > ShownCharacters)
            option->text.truncate(ShownCharacters);
    }
};

} // namespace

ListBox::ListBox(QListWidget *widget)
    : m_widget(widget)
{
    m_widget->setSelectionMode(QAbstractItemView::SingleSelection);
    // A 2 px sunken border whatever the style, so the start-up size holds exactly 40 rows.
    m_widget->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    m_widget->setLineWidth(2);
    m_widget->setUniformItemSizes(true);
    m_widget->setItemDelegate(new FixedRowDelegate(m_widget));
    QFont font = m_widget->font();
    font.setPixelSize(ListBox::RowHeight - 2);
    m_widget->setFont(font);
}

void ListBox::addItem(const QString &text)
{
    m_widget->addItem(text);
}

int ListBox::count() const
{
    return m_widget->count();
}

void ListBox::setSelectedIndex(int index)
{
    m_widget->setCurrentRow(index);
    m_widget->scrollToItem(m_widget->item(index));
}

void ListBox::removeFirst()
{
    delete m_widget->takeItem(0);
}
