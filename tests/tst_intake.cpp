#include "DatagramSocket.h"
#include "TestSupport.h"

#include <QDir>
#include <QTest>

#include <cerrno>

class tst_Intake : public QObject
{
    Q_OBJECT

private slots:
    void entryText_data();
    void entryText();
    void receivesWholeDatagramsOverBothFamilies();
    void recordsEachDatagramAndStampsTheCaption();
    void stopsTakingDatagramsAfterAFailure();
};

void tst_Intake::entryText_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QString>("entry");
    QTest::addColumn<bool>("utf8");
    QTest::newRow("line feed dropped") << QByteArray("hello\n") << "hello" << false;
    QTest::newRow("CR LF keeps the CR") << QByteArray("hello\r\n") << "hello\r" << false;
    QTest::newRow("no line end loses a letter") << QByteArray("hello") << "hell" << false;
    QTest::newRow("one byte gives empty") << QByteArray("x") << "" << false;
    QTest::newRow("no payload gives empty") << QByteArray() << "" << false;
    QTest::newRow("NUL kept") << QByteArray("a\0b\n", 4) << QString::fromLatin1("a\0b", 3) << false;
    QTest::newRow("Windows-1252 high bytes")
        << QByteArray("\x80\xE9!") << QString::fromUtf16(u"\u20AC\u00E9") << false;
    QTest::newRow("five undefined bytes as C1 controls")
        << QByteArray("\x81\x8D\x8F\x90\x9D\n")
        << QString::fromUtf16(u"\u0081\u008D\u008F\u0090\u009D") << false;
    QTest::newRow("UTF-8 of two, three and four bytes")
        << QByteArray("Temp\xC3\xA9rature 3 \xC2\xB0"
                      "C \xE2\x80\x93 ok \xF0\x9F\x98\x80\n")
        << QString::fromUtf16(u"Temp\u00E9rature 3 \u00B0C \u2013 ok \U0001F600") << true;
    // The same text as the row above but one: only the encoding tells the bytes apart.
    QTest::newRow("UTF-8 C1 controls")
        << QByteArray("\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D\n")
        << QString::fromUtf16(u"\u0081\u008D\u008F\u0090\u009D") << true;
    QTest::newRow("UTF-8 byte order mark kept")
        << QByteArray("\xEF\xBB\xBFok\n") << QString(QChar(0xFEFF)) + QStringLiteral("ok") << true;
    QTest::newRow("UTF-8 around the surrogates: U+D7FF, U+E000")
        << QByteArray("\xED\x9F\xBF\xEE\x80\x80\n") << QString::fromUtf16(u"\uD7FF\uE000") << true;
    QTest::newRow("UTF-8 U+10FFFF, the last code point")
        << QByteArray("\xF4\x8F\xBF\xBF\n") << QString::fromUcs4(U"\U0010FFFF") << true;
    QTest::newRow("Windows-1252 that is also UTF-8 reads as UTF-8")
        << QByteArray("\xC3\xA9\n") << QString::fromUtf16(u"\u00E9") << true;
    QTest::newRow("a sequence cut by the dropped byte")
        << QByteArray("caf\xC3\xA9") << QString::fromUtf16(u"caf\u00C3") << false;
    QTest::newRow("a sequence cut short")
        << QByteArray("\xE2\x80!\n") << QString::fromUtf16(u"\u00E2\u20AC!") << false;
    QTest::newRow("a lone continuation byte")
        << QByteArray("\xC3\xA9\xA9\n") << QString::fromUtf16(u"\u00C3\u00A9\u00A9") << false;
    QTest::newRow("overlong of two bytes")
        << QByteArray("\xC1\xBF\n") << QString::fromUtf16(u"\u00C1\u00BF") << false;
    QTest::newRow("overlong of three bytes")
        << QByteArray("\xE0\x9F\xBF\n") << QString::fromUtf16(u"\u00E0\u0178\u00BF") << false;
    QTest::newRow("overlong of four bytes")
        << QByteArray("\xF0\x8F\xBF\xBF\n") << QString::fromUtf16(u"\u00F0\u008F\u00BF\u00BF")
        << false;
    QTest::newRow("surrogate U+D800")
        << QByteArray("\xED\xA0\x80\n") << QString::fromUtf16(u"\u00ED\u00A0\u20AC") << false;
    QTest::newRow("surrogate U+DFFF")
        << QByteArray("\xED\xBF\xBF\n") << QString::fromUtf16(u"\u00ED\u00BF\u00BF") << false;
    QTest::newRow("above U+10FFFF") << QByteArray("\xF4\x90\x80\x80\n")
                                    << QString::fromUtf16(u"\u00F4\u0090\u20AC\u20AC") << false;
    QTest::newRow("bytes UTF-8 never uses")
        << QByteArray("\xC0\x80\xF5\xFF\n") << QString::fromUtf16(u"\u00C0\u20AC\u00F5\u00FF")
        << false;
}

void tst_Intake::entryText()
{
    QFETCH(QByteArray, datagram);
    QFETCH(QString, entry);
    QFETCH(bool, utf8);
    const DecodedText decoded = ::entryText(datagram);
    QCOMPARE(decoded.text, entry);
    QCOMPARE(decoded.encoding, utf8 ? TextEncoding::Utf8 : TextEncoding::Windows1252);
    // The text log writes back exactly the bytes the entry was read from.
    QCOMPARE(encodeText(decoded.text, decoded.encoding), entryOf(datagram));
}

void tst_Intake::receivesWholeDatagramsOverBothFamilies()
{
    DatagramSocket socket(0);
    socket.Bind();
    QVERIFY(socket.localPort() != 0);

    const QByteArray largest(65507, 'L');
    QVERIFY(sendDatagram(socket.localPort(), "four", false));
    QVERIFY(sendDatagram(socket.localPort(), QByteArray(), false));
    QVERIFY(sendDatagram(socket.localPort(), largest, false));
    QVERIFY(sendDatagram(socket.localPort(), "six", true));

    QByteArrayList received;
    QByteArray datagram;
    QVERIFY(QTest::qWaitFor(
        [&] {
            while (socket.queue().pop(datagram))
                received.append(datagram);
            return received.size() >= 4;
        },
        10000));
    QCOMPARE(received, QByteArrayList({"four", QByteArray(), largest, "six"}));
    QVERIFY(!socket.queue().pop(datagram));
}

void tst_Intake::recordsEachDatagramAndStampsTheCaption()
{
    DatagramSocket socket(0);
    socket.Bind();
    RecordingFixture fixture(DatagramQueue::DefaultCapacityDatagrams, &socket.queue());
    QVERIFY(fixture.ready);
    fixture.start();

    for (int i = 0; i < 100; ++i)
        QVERIFY(sendDatagram(socket.localPort(), QByteArray::number(i) + '\n', i % 2));
    QTRY_COMPARE(fixture.entries.snapshot().items.value(39), QStringLiteral("99"));
    QCOMPARE(fixture.entries.snapshot().items.first(), QStringLiteral("60"));
    QCOMPARE(fixture.entries.snapshot().caption,
             QStringLiteral("KIVLogging - 12/7/2026 6:05:01 PM"));

    // A stop records everything received, then ends.
    socket.stopReceiving();
    fixture.recorder.drain();
    QTRY_COMPARE(fixture.ended.load(), -1);
    QByteArray expected;
    for (int i = 0; i < 100; ++i)
        expected += "12/7/2026 6:05:01 PM: " + QByteArray::number(i) + "\r\n";
    QCOMPARE(readFile(fixture.textLogPath), expected);
    QCOMPARE(queryColumn(fixture.databasePath, QStringLiteral("select count(*) from KIVData")),
             QStringList{QStringLiteral("100")});
}

void tst_Intake::stopsTakingDatagramsAfterAFailure()
{
    DatagramSocket socket(0);
    socket.Bind();
    RecordingFixture fixture(DatagramQueue::DefaultCapacityDatagrams, &socket.queue());
    QVERIFY(fixture.ready);
    QVERIFY(QDir().mkdir(fixture.textLogPath));
    fixture.start();

    QVERIFY(sendDatagram(socket.localPort(), "first\n"));
    QTRY_COMPARE(fixture.ended.load(), EISDIR);
    QCOMPARE(fixture.recorder.lines(), quint64(0));
    // The recorder has ended: a later datagram is received, and never recorded.
    QVERIFY(sendDatagram(socket.localPort(), "second\n"));
    QTRY_COMPARE(socket.received(), quint64(2));
    fixture.recorder.stop();
    QCOMPARE(fixture.entries.snapshot().items, QStringList{QStringLiteral("first")});
}

QTEST_GUILESS_MAIN(tst_Intake)
#include "tst_intake.moc"
