#include "ListBox.h"

#include <QAccessible>
#include <QApplication>
#include <QCursor>
#include <QPainter>
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

    // The style draws the row without its text, and the text is drawn here, clipped at the
    // row's end as a list box does: the style lays a row's text out four times to place and
    // elide it.
    void paint(QPainter *painter,
               const QStyleOptionViewItem &option,
               const QModelIndex &index) const override
    {
        QStyleOptionViewItem row = option;
        initStyleOption(&row, index);
        const QString text = std::exchange(row.text, QString());
        const QWidget *widget = row.widget;
        const QStyle *style = widget ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &row, painter, widget);
        if (text.isEmpty())
            return;

        QPalette::ColorGroup group =
            row.state & QStyle::State_Enabled ? QPalette::Normal : QPalette::Disabled;
        if (group == QPalette::Normal && !(row.state & QStyle::State_Active))
            group = QPalette::Inactive;
        const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
        painter->save();
        painter->setFont(row.font);
        painter->setPen(row.palette.color(group, row.state & QStyle::State_Selected
                                                     ? QPalette::HighlightedText
                                                     : QPalette::Text));
        painter->drawText(row.rect.adjusted(margin, 0, -margin, 0),
                          int(QStyle::visualAlignment(row.direction, row.displayAlignment)) |
                              Qt::TextSingleLine,
                          text);
        painter->restore();
    }

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        // Every repaint lays out the text of each visible row, and no row is wider than this
        // much text.
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
    // Rows end at the list's edge, as a list box's do: 40 always fit the start-up size, and
    // rows moved up never change a scroll range.
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setItemDelegate(new FixedRowDelegate(this));
    QFont font = this->font();
    font.setPixelSize(RowHeight - 2);
    // Kerning and ligatures are not worth shaping every row anew for, while scripts that need
    // shaping still get it.
    font.setStyleStrategy(QFont::PreferNoShaping);
    setFont(font);
}

void ListBox::showEntries(const EntryList::Snapshot &snapshot)
{
    // The list holds the items of an earlier copy; only those added since are new.
    const auto total = qsizetype(snapshot.items.size());
    const auto added = qsizetype(std::min<quint64>(snapshot.added - m_shownAdded, quint64(total)));
    m_shownAdded = snapshot.added;
    // A copy with nothing new leaves the list alone, and what the user selected in it.
    if (added == 0 || scrollUp(snapshot, added))
        return;
    const qsizetype gone = count() + added - total;
    if (added == total) {
        clear();
    } else {
        for (qsizetype i = 0; i < gone; ++i)
            delete takeItem(0);
    }
    addItems(snapshot.items.mid(total - added));
    setCurrentRow(snapshot.selected);
    if (QListWidgetItem *item = this->item(snapshot.selected))
        scrollToItem(item);
}

// The usual show of a full list, the newest selected before and after: every item takes the
// text of the one `added` places below, and the rows drawn move up with it. Only the new rows
// and the one that loses the selection are painted again; a removal and an insertion would
// have the whole list laid out and painted. While a screen reader listens the list is laid out
// anew, since it hears of changed rows only that way.
bool ListBox::scrollUp(const EntryList::Snapshot &snapshot, qsizetype added)
{
    const auto total = qsizetype(snapshot.items.size());
    const qsizetype newest = total - 1;
    if (added == total || count() != total || snapshot.selected != newest ||
        currentRow() != newest || !item(int(newest))->isSelected() || QAccessible::isActive())
        return false;
    m_scrolling = true;
    for (qsizetype i = 0; i < total; ++i)
        item(int(i))->setText(snapshot.items[i]);
    m_scrolling = false;
    QWidget *rows = viewport();
    rows->scroll(0, -int(added) * RowHeight);
    const QRect lost = visualItemRect(item(int(newest - added)));
    rows->update(lost.united(visualItemRect(item(int(newest)))));
    // A style that marks the row under the mouse moved that mark up too.
    if (rows->underMouse()) {
        const QRect hovered = visualRect(indexAt(rows->mapFromGlobal(QCursor::pos())));
        rows->update(hovered.united(hovered.translated(0, -int(added) * RowHeight)));
    }
    scrollToItem(item(int(newest)));
    return true;
}

void ListBox::dataChanged(const QModelIndex &topLeft,
                          const QModelIndex &bottomRight,
                          const QList<int> &roles)
{
    if (!m_scrolling)
        QListWidget::dataChanged(topLeft, bottomRight, roles);
}
