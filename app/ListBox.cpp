#include "ListBox.h"

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
        // Every paint lays out the text of each visible row, and no row is wider than this
        // much text: a 64 KiB datagram would slow every paint.
        constexpr qsizetype ShownCharacters = 2000;
        if (option->text.size() > ShownCharacters)
            option->text.truncate(ShownCharacters);
    }
};

} // namespace

ListBox::ListBox(QWidget *parent)
    : QListWidget(parent)
{
    setSelectionMode(QAbstractItemView::SingleSelection);
    // A 2 px sunken border whatever the style, so the start-up size holds exactly 40 rows.
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(2);
    setUniformItemSizes(true);
    // Rows end at the list's edge, as a list box's do, cut off rather than ended with "...".
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setTextElideMode(Qt::ElideNone);
    setItemDelegate(new FixedRowDelegate(this));
    QFont font = this->font();
    font.setPixelSize(RowHeight - 2);
    setFont(font);
}

void ListBox::showEntries(const EntryList::Snapshot &snapshot)
{
    // The list holds the items of an earlier copy; only those added since are new.
    const auto total = qsizetype(snapshot.items.size());
    const auto added = qsizetype(std::min<quint64>(snapshot.added - m_shownAdded, quint64(total)));
    m_shownAdded = snapshot.added;
    // A copy with nothing new leaves the list alone, and what the user selected in it.
    if (added == 0)
        return;
    if (added == total) {
        clear();
    } else {
        for (qsizetype gone = count() + added - total; gone > 0; --gone)
            delete takeItem(0);
    }
    addItems(snapshot.items.mid(total - added));
    setCurrentRow(snapshot.selected);
    if (QListWidgetItem *item = this->item(snapshot.selected))
        scrollToItem(item);
}
