#include "EntryList.h"
#include "Failure.h"
#include "FailureReporter.h"
#include "ListBox.h"
#include "TestSupport.h"
#include "frmMain.h"

#include <QDir>
#include <QListWidget>
#include <QTest>

#include <cerrno>

namespace {

class RecordingReporter : public FailureReporter
{
public:
    void report(const Failure &failure) override { failures.append(failure.number()); }
    QList<int> failures;
};

QStringList itemTexts(const QListWidget *list)
{
    QStringList texts;
    for (int row = 0; row < list->count(); ++row)
        texts.append(list->item(row)->text());
    return texts;
}

} // namespace

class tst_Window : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void startsWithFortyRowsAndTheProgramCaption();
    void showsLatestFortyNewestSelected_data();
    void showsLatestFortyNewestSelected();
    void listUpdateShowsWhatOneByOneWould_data();
    void listUpdateShowsWhatOneByOneWould();
    void captionShowsTimeOfLatestEntry();
    void listFollowsTheWindowSize_data();
    void listFollowsTheWindowSize();
    void reportsAFailedEntryOnce();

private:
    QListWidget *list() const { return m_window->findChild<QListWidget *>(QStringLiteral("lstData")); }
    QString newestText() const
    {
        return list()->count() ? list()->item(list()->count() - 1)->text() : QString();
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<FixedClock> m_clock;
    RecordingReporter m_reporter;
    std::unique_ptr<frmMain> m_window;
};

void tst_Window::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_clock = std::make_unique<FixedClock>(QDateTime(QDate(2026, 12, 7), QTime(6, 54, 52)));
    m_reporter.failures.clear();
    createLogDatabase(m_dir->filePath(QStringLiteral("Log.mdb")));
    m_window = std::make_unique<frmMain>(m_dir->path(), 0, *m_clock, m_reporter);
    m_window->Form_Load();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void tst_Window::cleanup()
{
    m_window.reset();
    m_dir.reset();
}

void tst_Window::startsWithFortyRowsAndTheProgramCaption()
{
    QCOMPARE(m_window->windowTitle(), QStringLiteral("KIVLogging"));
    QCOMPARE(m_window->size(), QSize(793, 534));
    QCOMPARE(list()->geometry(), QRect(2, 4, 787, 524));
    QCOMPARE(list()->viewport()->height(), 40 * 13);
    QVERIFY(m_window->windowFlags() & Qt::WindowStaysOnTopHint);
}

void tst_Window::showsLatestFortyNewestSelected_data()
{
    QTest::addColumn<int>("entries");
    QTest::newRow("the 41st pushes out the first") << 41;
    QTest::newRow("a flood shows its last 40") << 600;
}

void tst_Window::showsLatestFortyNewestSelected()
{
    QFETCH(int, entries);
    for (int i = 1; i <= entries; ++i)
        sendDatagram(m_window->localPort(), "entry " + QByteArray::number(i) + '\n');
    QTRY_COMPARE(newestText(), QStringLiteral("entry %1").arg(entries));
    QStringList latest;
    for (int i = entries - 39; i <= entries; ++i)
        latest.append(QStringLiteral("entry %1").arg(i));
    QCOMPARE(itemTexts(list()), latest);
    QCOMPARE(list()->currentRow(), 39);
    QCOMPARE(list()->selectedItems(), QList<QListWidgetItem *>{list()->item(39)});
    QTRY_VERIFY(list()->viewport()->rect().contains(list()->visualItemRect(list()->item(39))));
}

void tst_Window::listUpdateShowsWhatOneByOneWould_data()
{
    QTest::addColumn<int>("before");
    QTest::addColumn<int>("during");
    QTest::newRow("a few into an empty list") << 0 << 3;
    QTest::newRow("filling up exactly") << 30 << 10;
    QTest::newRow("some push out older ones") << 40 << 10;
    QTest::newRow("all pushed out, some twice over") << 40 << 100;
    QTest::newRow("nothing added changes nothing") << 25 << 0;
}

void tst_Window::listUpdateShowsWhatOneByOneWould()
{
    QFETCH(int, before);
    QFETCH(int, during);
    QListWidget widget;
    ListBox box(&widget);
    MemoryEntryList oneByOne;
    for (int i = 0; i < before; ++i) {
        addNewestEntry(box, QString::number(i));
        addNewestEntry(oneByOne, QString::number(i));
    }
    const QStringList shownBefore = itemTexts(&widget);

    box.beginUpdate();
    for (int i = before; i < before + during; ++i) {
        addNewestEntry(box, QString::number(i));
        addNewestEntry(oneByOne, QString::number(i));
        QCOMPARE(box.count(), oneByOne.count());
    }
    QCOMPARE(itemTexts(&widget), shownBefore);
    box.endUpdate();

    QCOMPARE(itemTexts(&widget), oneByOne.items());
    QCOMPARE(widget.currentRow(), oneByOne.selectedIndex());
    if (widget.count() > 0)
        QCOMPARE(widget.selectedItems(), QList<QListWidgetItem *>{widget.item(widget.count() - 1)});
}

void tst_Window::captionShowsTimeOfLatestEntry()
{
    sendDatagram(m_window->localPort(), "one\n");
    QTRY_COMPARE(m_window->windowTitle(), QStringLiteral("KIVLogging - 12/7/2026 6:54:52 AM"));
    m_clock->set(QDateTime(QDate(2026, 12, 8), QTime(13, 0, 1)));
    sendDatagram(m_window->localPort(), "two\n");
    QTRY_COMPARE(m_window->windowTitle(), QStringLiteral("KIVLogging - 12/8/2026 1:00:01 PM"));
    QCOMPARE(readFile(m_dir->filePath(QStringLiteral("mylog.txt"))),
             QByteArray("12/7/2026 6:54:52 AM: one\r\n12/8/2026 1:00:01 PM: two\r\n"));
}

void tst_Window::listFollowsTheWindowSize_data()
{
    QTest::addColumn<QSize>("windowSize");
    QTest::addColumn<QSize>("listSize");
    QTest::newRow("larger, whole rows") << QSize(1000, 700) << QSize(994, 52 * 13 + 4);
    QTest::newRow("smaller, rounded down") << QSize(300, 200) << QSize(294, 14 * 13 + 4);
    QTest::newRow("too small keeps the size") << QSize(5, 8) << QSize(787, 524);
}

void tst_Window::listFollowsTheWindowSize()
{
    QFETCH(QSize, windowSize);
    QFETCH(QSize, listSize);
    m_window->resize(windowSize);
    QTRY_COMPARE(m_window->size(), windowSize);
    QCOMPARE(list()->size(), listSize);
    QCOMPARE(list()->pos(), QPoint(2, 4));
}

void tst_Window::reportsAFailedEntryOnce()
{
    QVERIFY(QDir().mkdir(m_dir->filePath(QStringLiteral("mylog.txt"))));
    sendDatagram(m_window->localPort(), "lost\n");
    sendDatagram(m_window->localPort(), "never taken\n");
    QTRY_COMPARE(m_reporter.failures, QList<int>{EISDIR});
    QTest::qWait(50);
    QCOMPARE(m_reporter.failures.size(), 1);
    QCOMPARE(list()->count(), 1);
    QCOMPARE(m_window->windowTitle(), QStringLiteral("KIVLogging"));
}

QTEST_MAIN(tst_Window)
#include "tst_window.moc"
