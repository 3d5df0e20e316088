#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

// The built program in a temporary application directory, driven over real UDP on 6177.
class tst_Program : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void recordsEachDatagramByteForByte();
    void createsTheTextLogAgainAfterDeletion();
    void secondCopyFailsAtBindAndTheFirstGoesOn();
    void failedTextLogEndsWithMessageNamingTheFile();
    void runsHeadlessWithoutDisplay();

private:
    // Waits until the text log holds `lines` entries (by the timestamp at each line start).
    static bool waitForEntries(const QString &path, int entries);
    static QString linePattern(const QByteArray &entry);
};

void tst_Program::init()
{
    QVERIFY2(!udpPortBound(6177), "UDP port 6177 is taken by another program");
}

QString tst_Program::linePattern(const QByteArray &entry)
{
    return QStringLiteral(R"(\d{1,2}/\d{1,2}/\d{4} \d{1,2}:\d{2}:\d{2} [AP]M: )")
           + QRegularExpression::escape(QString::fromLatin1(entry)) + QStringLiteral("\r\n");
}

bool tst_Program::waitForEntries(const QString &path, int entries)
{
    static const QRegularExpression stamp(QStringLiteral(R"(\d{4} \d{1,2}:\d{2}:\d{2} [AP]M: )"));
    return QTest::qWaitFor([&] {
        return QString::fromLatin1(readFile(path)).count(stamp) >= entries;
    }, 10000);
}

void tst_Program::recordsEachDatagramByteForByte()
{
    ProgramUnderTest program;
    QVERIFY(program.startListening());
    const QByteArrayList entries = {"hello", "", "a\r\nb", printableAndHighBytes()};
    for (const QByteArray &entry : entries)
        sendDatagram(6177, entry + '\n');
    const QString log = program.file(QStringLiteral("mylog.txt"));
    QVERIFY(waitForEntries(log, int(entries.size())));

    QString pattern;
    for (const QByteArray &entry : entries)
        pattern += linePattern(entry);
    const QRegularExpression whole(QStringLiteral("\\A") + pattern + QStringLiteral("\\z"));
    const QString content = QString::fromLatin1(readFile(log));
    QVERIFY2(whole.match(content).hasMatch(), qPrintable(content.toLatin1().toHex(' ')));
    QCOMPARE(program.terminate(), 0);
}

void tst_Program::createsTheTextLogAgainAfterDeletion()
{
    ProgramUnderTest program;
    QVERIFY(program.startListening());
    const QString log = program.file(QStringLiteral("mylog.txt"));
    sendDatagram(6177, "before\n");
    QVERIFY(waitForEntries(log, 1));
    QVERIFY(QFile::remove(log));
    sendDatagram(6177, "after\n");
    QVERIFY(waitForEntries(log, 1));
    const QRegularExpression only(QStringLiteral("\\A") + linePattern("after") + QStringLiteral("\\z"));
    QVERIFY(only.match(QString::fromLatin1(readFile(log))).hasMatch());
    QCOMPARE(program.terminate(), 0);
}

void tst_Program::secondCopyFailsAtBindAndTheFirstGoesOn()
{
    ProgramUnderTest first;
    QVERIFY(first.startListening());
    ProgramUnderTest second;
    second.start();
    QVERIFY(second.process().waitForFinished(10000));
    QCOMPARE(second.process().exitStatus(), QProcess::NormalExit);
    QVERIFY(second.process().exitCode() != 0);
    const QByteArray message = second.process().readAllStandardError();
    QVERIFY2(message.contains("6177") && message.contains("Address already in use"), message);

    sendDatagram(6177, "still here\n");
    QVERIFY(waitForEntries(first.file(QStringLiteral("mylog.txt")), 1));
    QVERIFY(!QFile::exists(second.file(QStringLiteral("mylog.txt"))));
    QCOMPARE(first.terminate(), 0);
}

void tst_Program::failedTextLogEndsWithMessageNamingTheFile()
{
    ProgramUnderTest program;
    const QString log = program.file(QStringLiteral("mylog.txt"));
    QVERIFY(QDir().mkdir(log));
    QVERIFY(program.startListening());
    sendDatagram(6177, "lost\n");
    QVERIFY(program.process().waitForFinished(10000));
    QCOMPARE(program.process().exitStatus(), QProcess::NormalExit);
    QVERIFY(program.process().exitCode() != 0);
    const QByteArray message = program.process().readAllStandardError();
    QVERIFY2(message.contains(QFile::encodeName(log)) && message.contains("Is a directory"), message);
}

void tst_Program::runsHeadlessWithoutDisplay()
{
    ProgramUnderTest program;
    QVERIFY(program.startListening(
        {QStringLiteral("-DISPLAY"), QStringLiteral("-WAYLAND_DISPLAY"), QStringLiteral("-QT_QPA_PLATFORM")}));
    sendDatagram(6177, "headless\n");
    QVERIFY(waitForEntries(program.file(QStringLiteral("mylog.txt")), 1));
    QCOMPARE(program.terminate(), 0);
    QVERIFY(program.process().readAllStandardError().contains("headless"));
}

QTEST_GUILESS_MAIN(tst_Program)
#include "tst_program.moc"
