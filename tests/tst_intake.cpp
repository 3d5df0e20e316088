#include "DatabaseLog.h"
#include "DatagramReceiver.h"
#include "DatagramSocket.h"
#include "EntryList.h"
#include "EntryRecorder.h"
#include "Failure.h"
#include "TestSupport.h"
#include "TextLog.h"

#include <QDir>
#include <QSignalSpy>
#include <QTest>

#include <cerrno>

class tst_Intake : public QObject
{
    Q_OBJECT

private slots:
    void entryText_data();
    void entryText();
    void receivesWholeDatagramsOverBothFamilies();
    void secondBindOnTheSamePortFails();
    void recordsEachDatagramAndStampsTheCaption();
    void stopsTakingDatagramsAfterAFailure();
};

void tst_Intake::entryText_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QString>("entry");
    QTest::newRow("line feed dropped") << QByteArray("hello\n") << "hello";
    QTest::newRow("CR LF keeps the CR") << QByteArray("hello\r\n") << "hello\r";
    QTest::newRow("no line end loses a letter") << QByteArray("hello") << "hell";
    QTest::newRow("one byte gives empty") << QByteArray("x") << "";
    QTest::newRow("no payload gives empty") << QByteArray() << "";
    QTest::newRow("high byte decoded")
        << QByteArray("\x80\xE9!") << QString::fromUtf16(u"\u20AC\u00E9");
    QTest::newRow("NUL kept") << QByteArray("a\0b\n", 4) << QString::fromLatin1("a\0b", 3);
}

void tst_Intake::entryText()
{
    QFETCH(QByteArray, datagram);
    QFETCH(QString, entry);
    QCOMPARE(DatagramReceiver::entryText(datagram), entry);
}

void tst_Intake::receivesWholeDatagramsOverBothFamilies()
{
    DatagramSocket socket(0);
    socket.Bind();
    QVERIFY(socket.localPort() != 0);
    QSignalSpy arrivals(&socket, &DatagramSocket::DataArrival);

    const QByteArray largest(65507, 'L');
    QVERIFY(sendDatagram(socket.localPort(), "four", false));
    QVERIFY(sendDatagram(socket.localPort(), QByteArray(), false));
    QVERIFY(sendDatagram(socket.localPort(), largest, false));
    QVERIFY(sendDatagram(socket.localPort(), "six", true));
    QTRY_VERIFY(!arrivals.isEmpty());

    QByteArrayList received;
    QByteArray datagram;
    QVERIFY(QTest::qWaitFor(
        [&] {
            while (socket.GetData(datagram))
                received.append(datagram);
            return received.size() >= 4;
        },
        10000));
    QCOMPARE(received, QByteArrayList({"four", QByteArray(), largest, "six"}));
    QVERIFY(!socket.GetData(datagram));
}

void tst_Intake::secondBindOnTheSamePortFails()
{
    DatagramSocket first(0);
    first.Bind();
    DatagramSocket second(first.localPort());
    try {
        second.Bind();
        QFAIL("a second socket bound the same port");
    } catch (const Failure &failure) {
        QCOMPARE(failure.number(), EADDRINUSE);
        QVERIFY(failure.description().contains(QString::number(first.localPort())));
    }
}

void tst_Intake::recordsEachDatagramAndStampsTheCaption()
{
    QTemporaryDir dir;
    MemoryEntryList list;
    TextLog log(dir.filePath(QStringLiteral("mylog.txt")));
    const QString databasePath = dir.filePath(QStringLiteral("Log.mdb"));
    QVERIFY(createLogDatabase(databasePath));
    DatabaseLog database(databasePath);
    database.open();
    const FixedClock clock(QDateTime(QDate(2026, 12, 7), QTime(6, 54, 52)));
    EntryRecorder recorder(list, log, database, clock);
    DatagramSocket socket(0);
    socket.Bind();
    DatagramReceiver receiver(socket, recorder, clock);
    QSignalSpy captions(&receiver, &DatagramReceiver::captionChanged);
    int failures = 0;
    connect(&receiver, &DatagramReceiver::failed, this, [&] { ++failures; });

    for (int i = 0; i < 100; ++i)
        QVERIFY(sendDatagram(socket.localPort(), QByteArray::number(i) + '\n', i % 2));
    QTRY_COMPARE(list.count(), 40);
    QTRY_COMPARE(list.items().last(), QStringLiteral("99"));
    QCOMPARE(list.items().first(), QStringLiteral("60"));
    QCOMPARE(failures, 0);
    QCOMPARE(captions.last().at(0).toString(), QStringLiteral("KIVLogging - 12/7/2026 6:54:52 AM"));

    QByteArray expected;
    for (int i = 0; i < 100; ++i)
        expected += "12/7/2026 6:54:52 AM: " + QByteArray::number(i) + "\r\n";
    QCOMPARE(readFile(log.path()), expected);
    QCOMPARE(queryColumn(databasePath, QStringLiteral("select count(*) from KIVData")),
             QStringList{QStringLiteral("100")});
}

void tst_Intake::stopsTakingDatagramsAfterAFailure()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("mylog.txt"));
    QVERIFY(QDir().mkdir(path));
    MemoryEntryList list;
    TextLog log(path);
    const QString databasePath = dir.filePath(QStringLiteral("Log.mdb"));
    QVERIFY(createLogDatabase(databasePath));
    DatabaseLog database(databasePath);
    database.open();
    const Clock clock;
    EntryRecorder recorder(list, log, database, clock);
    DatagramSocket socket(0);
    socket.Bind();
    DatagramReceiver receiver(socket, recorder, clock);
    QList<int> failures;
    connect(&receiver, &DatagramReceiver::failed, this,
            [&](const Failure &failure) { failures.append(failure.number()); });

    QVERIFY(sendDatagram(socket.localPort(), "first\n"));
    QVERIFY(sendDatagram(socket.localPort(), "second\n"));
    QTRY_COMPARE(failures, QList<int>{EISDIR});
    QTest::qWait(50);
    QCOMPARE(list.items(), QStringList{QStringLiteral("first")});
    QCOMPARE(failures.size(), 1);
}

QTEST_GUILESS_MAIN(tst_Intake)
#include "tst_intake.moc"
