#include "frmMain.h"

#include <QCloseEvent>
#include <QKeyEvent>

namespace {

// The list keeps its start-up margins to the client area: at (2, 4), 787 x 524 px in 793 x 534.
constexpr int StartWidth = 793;
constexpr int StartHeight = 534;
constexpr int ListLeft = 2;
constexpr int ListTop = 4;
constexpr int ListWidthMargin = 6;
constexpr int ListHeightMargin = 10;

// Printable characters count, and so do the control characters of Enter, Backspace, Escape and
// Ctrl+letter. Tab moves the focus and Delete edits, so neither types anything; arrows,
// function keys and modifiers alone bring no text at all.
bool typesCharacter(const QKeyEvent &event)
{
    const QString text = event.text();
    return !text.isEmpty() && text.front() != u'\t' && text.front() != u'\x7f';
}

} // namespace

frmMain::frmMain(EntryList &entries, QWidget *parent)
    : QWidget(parent)
    , m_entries(entries)
    , lstData(new ListBox(this))
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("KIVLogging"));
    lstData->setObjectName(QStringLiteral("lstData"));
    lstData->setFocus();
    lstData->installEventFilter(this);
    resize(StartWidth, StartHeight);
    layoutList();
    m_showTimer.setSingleShot(true);
    m_showTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_showTimer, &QTimer::timeout, this, &frmMain::showEntries);
    m_entries.setChanged([this] { entriesChanged(); });
}

frmMain::~frmMain()
{
    m_entries.setChanged({});
}

void frmMain::entriesChanged()
{
    if (!m_showAsked.exchange(true))
        QMetaObject::invokeMethod(this, &frmMain::showSoon, Qt::QueuedConnection);
}

void frmMain::showSoon()
{
    // Hidden, the change waits for the show event; shown already, or due, nothing to do.
    if (!isVisible() || !m_showAsked || m_showTimer.isActive())
        return;
    const qint64 wait =
        m_sinceShow.isValid() ? ShowIntervalMilliseconds - m_sinceShow.elapsed() : 0;
    if (wait > 0)
        m_showTimer.start(int(wait));
    else
        showEntries();
}

void frmMain::showEntries()
{
    // Changes from now on are not in this copy and ask for a show of their own.
    m_showAsked = false;
    m_sinceShow.start();
    const EntryList::Snapshot snapshot = m_entries.snapshot();
    lstData->showEntries(snapshot);
    if (!snapshot.caption.isNull())
        setWindowTitle(snapshot.caption);
}

bool frmMain::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == lstData && event->type() == QEvent::KeyPress &&
        typesCharacter(*static_cast<QKeyEvent *>(event))) {
        m_entries.add({m_debugEntries.nextEntry()});
        // Shown before the list handles the key, so its type-ahead search has the last word.
        showEntries();
    }
    // The list still handles the key itself, type-ahead search included.
    return QWidget::eventFilter(watched, event);
}

void frmMain::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    showEntries();
}

void frmMain::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    layoutList();
}

void frmMain::layoutList()
{
    // Whole rows only; a size with no room for the list (minimized, tiny) is skipped and the
    // list keeps its size.
    const int width = this->width() - ListWidthMargin;
    const int height = this->height() - ListHeightMargin;
    const int border = 2 * lstData->frameWidth();
    if (isMinimized() || width <= 0 || height < border)
        return;
    const int rows = (height - border) / ListBox::RowHeight;
    lstData->setGeometry(ListLeft, ListTop, width, rows * ListBox::RowHeight + border);
}

void frmMain::closeEvent(QCloseEvent *event)
{
    m_notice.close();
    event->accept();
    emit closed();
}
