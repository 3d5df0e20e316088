#include "TestSupport.h"

#include <QDeadlineTimer>
#include <QRandomGenerator>
#include <QTest>

// Whatever anyone sends, the built program keeps running and stores it byte for byte.
class tst_HostileInput : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void recordsFloodsExactly_data();
    void recordsFloodsExactly();
    void recordsRandomDatagramsExactly();

private:
    struct Datagram
    {
        QByteArray payload;
        bool ipv6 = false;
    };

    // Sends the datagrams to a fresh copy of the program, until all are sent or the time for
    // sending is up, and compares both logs with those sent. `context` goes into every
    // failure message.
    static void recordAndCompare(QList<Datagram> datagrams,
                                 const QString &context,
                                 QDeadlineTimer sending = QDeadlineTimer(QDeadlineTimer::Forever));
    static QByteArray randomPayload(QRandomGenerator &random);
};

void tst_HostileInput::init()
{
    QVERIFY2(!udpPortBound(6177), portTaken(6177).constData());
}

void tst_HostileInput::recordAndCompare(QList<Datagram> datagrams,
                                        const QString &context,
                                        QDeadlineTimer sending)
{
    const auto fail = [&](const QString &what) {
        QFAIL(qPrintable(context + QStringLiteral(": ") + what));
    };
    ProgramUnderTest program;
    QVERIFY(program.startListening());
    const QString database = program.file(QStringLiteral("Log.mdb"));
    TestConnection rows(database);
    const auto recordedRows = [&] {
        return rows.column(QStringLiteral("select count(*) from KIVData")).value(0).toInt();
    };

    const qint64 budget = receiveBufferBudget();
    QList<qint64> costBefore{0};
    for (const Datagram &datagram : datagrams)
        costBefore.append(costBefore.last() + bufferCost(datagram.payload));
    int recorded = 0;
    for (int i = 0; i < datagrams.size(); ++i) {
        if (sending.hasExpired()) {
            qInfo("%s: time is up after %d datagrams", qPrintable(context), i);
            datagrams.resize(i);
            break;
        }
        // Sent only once the kernel's buffer has room for it; recording that moves on by no row
        // for 10 s is stuck.
        while (costBefore[i + 1] - costBefore[recorded] > budget) {
            const int before = recorded;
            const bool moved = QTest::qWaitFor(
                [&] {
                    recorded = recordedRows();
                    return recorded > before || program.process().state() != QProcess::Running;
                },
                10000);
            if (program.process().state() != QProcess::Running)
                return fail(QStringLiteral("the logger ended after %1 datagrams").arg(i));
            if (!moved)
                return fail(QStringLiteral("stuck at %1 rows of %2 sent").arg(recorded).arg(i));
        }
        QVERIFY(sendDatagram(6177, datagrams[i].payload, datagrams[i].ipv6));
    }
    // Stopped at once: what is still in the kernel's buffer and the queue is recorded first.
    QCOMPARE(program.terminate(), 0);

    QByteArrayList entries;
    for (const Datagram &datagram : datagrams)
        entries.append(entryOf(datagram.payload));
    const QString mismatch =
        logMismatch(readFile(program.file(QStringLiteral("mylog.txt"))), entries);
    if (!mismatch.isEmpty())
        return fail(QStringLiteral("mylog.txt: ") + mismatch);

    const QStringList hex =
        rows.column(QStringLiteral("select hex(LogText) from KIVData order by ID"));
    if (hex.size() != datagrams.size())
        return fail(QStringLiteral("%1 rows of %2").arg(hex.size()).arg(datagrams.size()));
    for (int i = 0; i < datagrams.size(); ++i) {
        if (hex[i] != rowHex(entries[i]))
            return fail(QStringLiteral("row of datagram %1 differs").arg(i));
    }
    for (const QString &date : rows.column(QStringLiteral("select LogDate from KIVData"))) {
        const QByteArray stamp = date.toLatin1() + ": ";
        if (afterTimestamp(stamp, 0) != stamp.size())
            return fail(QStringLiteral("LogDate ") + date);
    }
}

void tst_HostileInput::recordsFloodsExactly_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("ipv6");

    QByteArray everyByte;
    for (int b = 0; b < 256; ++b)
        everyByte.append(char(b));
    QByteArray largest;
    while (largest.size() < 65507)
        largest.append(everyByte);
    largest.truncate(65507);

    QTest::newRow("zero-length datagrams: empty entries") << QByteArray() << 1000 << false;
    QTest::newRow("one byte each: empty entries") << QByteArray("x") << 1000 << true;
    QTest::newRow("NULs only") << QByteArray(100, '\0') << 500 << false;
    QTest::newRow("lone CRs kept") << QByteArray("\ra\rb\r\r") << 500 << true;
    QTest::newRow("CR LF kept inside and at the end")
        << QByteArray("a\r\nb\r\n\r\n") << 500 << false;
    QTest::newRow("every byte value") << everyByte + '\n' << 500 << true;
    QTest::newRow("apostrophes") << QByteArray(1000, '\'') << 200 << false;
    QTest::newRow("largest datagrams, every byte value") << largest << 30 << false;
    QTest::newRow("largest IPv6 datagrams, NULs") << QByteArray(65527, '\0') << 20 << true;
}

void tst_HostileInput::recordsFloodsExactly()
{
    QFETCH(QByteArray, payload);
    QFETCH(int, count);
    QFETCH(bool, ipv6);
    recordAndCompare(QList<Datagram>(count, Datagram{payload, ipv6}),
                     QString::fromLatin1(QTest::currentDataTag()));
}

QByteArray tst_HostileInput::randomPayload(QRandomGenerator &random)
{
    // Mostly short lines, with line ends, quotes and NULs where they hurt; now and then a
    // run of NULs, a few kilobytes or the largest datagram there is.
    static const QByteArrayList pieces = {
        "a",    "Z",    " ",    "\r", "\n", "\r\n", "'", "''", QByteArray(1, '\0'),
        "\x80", "\x81", "\xFF", "%",  "\\", ";",    "--"};
    const auto bytes = [&](qsizetype size) {
        QByteArray data(size, Qt::Uninitialized);
        for (char &c : data)
            c = char(random.bounded(256));
        return data;
    };
    const int kind = random.bounded(100);
    if (kind < 5)
        return {};
    if (kind < 10)
        return bytes(1);
    if (kind < 40)
        return bytes(random.bounded(2, 200));
    if (kind < 75) {
        QByteArray text;
        const int count = random.bounded(1, 60);
        for (int i = 0; i < count; ++i)
            text += pieces[random.bounded(pieces.size())];
        return text;
    }
    if (kind < 85)
        return QByteArray(random.bounded(1, 3000), '\0');
    if (kind < 98)
        return bytes(random.bounded(200, 8000));
    return bytes(65507);
}

void tst_HostileInput::recordsRandomDatagramsExactly()
{
    const quint32 seed = testSeed();
    QRandomGenerator random(seed);
    QList<Datagram> datagrams;
    for (int i = 0; i < 1500; ++i)
        datagrams.append(Datagram{randomPayload(random), random.bounded(2) == 1});
    recordAndCompare(datagrams, QStringLiteral("seed %1 (KIV_TEST_SEED)").arg(seed),
                     QDeadlineTimer(20000));
}

QTEST_GUILESS_MAIN(tst_HostileInput)
#include "tst_hostileinput.moc"
