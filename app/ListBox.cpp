#include "ListBox.h"

#include <QApplication>
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
    // row's end as a list box does: the style would lay each row's text out four times to
    // place and elide it, on every show.
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
    // Rows end at the list's edge, as a list box's do.
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setItemDelegate(new FixedRowDelegate(this));
    QFont font = this->font();
    font.setPixelSize(RowHeight - 2);
    // Kerning and ligatures are not worth shaping every row anew for on every show, while
    // scripts that need shaping still get it.
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
