#include "frmMain.h"

#include "ApplicationDirectory.h"
#include "Clock.h"
#include "Failure.h"
#include "FailureReporter.h"
#include "modAlwaysOnTop.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QListWidget>

namespace {

// The list keeps its start-up margins to the client area: at (2, 4), 787 x 524 px in 793 x 534.
constexpr int StartWidth = 793;
constexpr int StartHeight = 534;
constexpr int ListLeft = 2;
constexpr int ListTop = 4;
constexpr int ListWidthMargin = 6;
constexpr int ListHeightMargin = 10;

} // namespace

frmMain::frmMain(const QString &applicationDirectory,
                 quint16 port,
                 const Clock &clock,
                 FailureReporter &reporter,
                 QWidget *parent)
    : QWidget(parent)
    , m_applicationDirectory(applicationDirectory)
    , m_clock(clock)
    , m_reporter(reporter)
    , lstData(new QListWidget(this))
    , m_list(lstData)
    , m_debugKeys(lstData, m_list)
    , m_textLog(applicationDirectory + QStringLiteral("/mylog.txt"))
    , m_database(applicationDirectory + QStringLiteral("/Log.mdb"))
    , m_recorder(m_list, m_textLog, m_database, clock)
    , Winsock1(port)
    , m_receiver(Winsock1, m_recorder, clock)
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("KIVLogging"));
    lstData->setObjectName(QStringLiteral("lstData"));
    lstData->setFocus();
    resize(StartWidth, StartHeight);
    layoutList();

    connect(&m_receiver, &DatagramReceiver::captionChanged, this, &QWidget::setWindowTitle);
    connect(&m_receiver, &DatagramReceiver::failed, this, &frmMain::fail);
}

frmMain::~frmMain() = default;

void frmMain::Form_Load()
{
    // Each run starts its own sequence of debug numbers.
    m_debugKeys.seed(quint64(m_clock.now().toMSecsSinceEpoch()));
    Winsock1.Bind();
    SetAlwaysOnTop(this, 1);
    ApplicationDirectory::requireWritable(m_applicationDirectory);
    m_database.open();
}

void frmMain::fail(const Failure &failure)
{
    m_receiver.stop();
    m_reporter.report(failure);
    QCoreApplication::exit(1);
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
    // The log stays open between lines; an error only its close tells is reported here.
    try {
        m_textLog.close();
    } catch (const Failure &failure) {
        fail(failure);
    }
}
