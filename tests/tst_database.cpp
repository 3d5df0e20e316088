#include "DatabaseLog.h"
#include "Failure.h"
#include "TestSupport.h"

#include <QFile>
#include <QTest>

#include <optional>

class tst_Database : public QObject
{
    Q_OBJECT

private slots:
    void insertStatement_data();
    void insertStatement();
    void storesTheEntryTextExactly_data();
    void storesTheEntryTextExactly();
    void opensOnlyAnExistingDatabaseWithTheTable_data();
    void opensOnlyAnExistingDatabaseWithTheTable();
    void worksWithOtherColumnSets_data();
    void worksWithOtherColumnSets();
    void readersDoNotStopInserts();
    void waitsOutALockFoundAtOpening();
    void refusesToInsertIntoAFileNoLongerThere_data();
    void refusesToInsertIntoAFileNoLongerThere();

private:
    static const QString Stamp;
};

const QString tst_Database::Stamp = QStringLiteral("12/7/2026 6:54:52 AM");

void tst_Database::insertStatement_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("statement");
    const QString head = QStringLiteral("insert into KIVData (LogDate, LogText) values('12/7/2026 "
                                        "6:54:52 AM', '");
    QTest::newRow("plain") << "hello" << head + "hello');";
    QTest::newRow("empty literal") << "" << head + "');";
    QTest::newRow("apostrophes doubled") << "it's 'x'" << head + "it''s ''x''');";
    QTest::newRow("injection stays a literal")
        << "'); drop table KIVData; --" << head + "''); drop table KIVData; --');";
    QTest::newRow("CR LF kept") << "a\r\nb" << head + "a\r\nb');";
    QTest::newRow("NUL: UTF-8 bytes cast to text")
        << QString::fromUtf16(u"a\0'\u20AC", 4)
        << head.chopped(1) + "cast(x'610027e282ac' as text));";
}

void tst_Database::insertStatement()
{
    QFETCH(QString, text);
    QFETCH(QString, statement);
    QCOMPARE(QString::fromUtf8(DatabaseLog::insertStatement(Stamp, text)), statement);
}

void tst_Database::storesTheEntryTextExactly_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("apostrophes") << "it's ''quoted'''";
    QTest::newRow("injection") << "'); drop table KIVData; --";
    QTest::newRow("empty") << "";
    QTest::newRow("CR LF inside") << "a\r\nb\r";
    QTest::newRow("NUL inside and at the ends") << QString::fromLatin1("\0a\0\0b\0", 6);
    QTest::newRow("high characters") << QString::fromUtf16(u"\u20AC\u0081\u00FF\u0178");
    QTest::newRow("largest datagram") << QString(65506, QLatin1Char('x'));
    QTest::newRow("largest datagram of NULs") << QString(65506, QChar(0));
    QTest::newRow("NUL between every character") << QString::fromLatin1("\0'").repeated(32753);
    QTest::newRow("largest datagram of apostrophes") << QString(65506, QLatin1Char('\''));
}

void tst_Database::storesTheEntryTextExactly()
{
    QFETCH(QString, text);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Log.mdb"));
    QVERIFY(createLogDatabase(path));
    DatabaseLog database(path);
    database.open();
    database.add(Stamp, text);
    database.add(Stamp, QStringLiteral("next"));
    // Rows wait, and go in together.
    QCOMPARE(queryColumn(path, QStringLiteral("select count(*) from KIVData")), QStringList{"0"});
    QVERIFY(database.insertWaiting());

    // Compared as UTF-8 bytes so a lost NUL cannot hide.
    const QStringList hex =
        queryColumn(path, QStringLiteral("select hex(LogText) from KIVData order by ID"));
    QCOMPARE(hex, QStringList({QString::fromLatin1(text.toUtf8().toHex().toUpper()),
                               QString::fromLatin1(QByteArray("next").toHex().toUpper())}));
    QCOMPARE(queryColumn(path, QStringLiteral("select LogDate from KIVData")),
             QStringList({Stamp, Stamp}));
    QCOMPARE(queryColumn(path, QStringLiteral("pragma journal_mode")), QStringList{"wal"});
}

void tst_Database::opensOnlyAnExistingDatabaseWithTheTable_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("createStatement");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("message");
    QTest::newRow("missing file") << QByteArray() << QString() << 14
                                  << "the file is missing; create it with: sqlite3 '";
    QTest::newRow("not a database")
        << QByteArray(4096, 'x') << QString() << 26 << "file is not a database";
    QTest::newRow("empty file") << QByteArray("") << QString() << 1 << "create table KIVData";
    QTest::newRow("no table") << QByteArray() << "create table Other (x)" << 1
                              << "has no table KIVData; create it with: sqlite3 '";
    QTest::newRow("a column missing")
        << QByteArray() << "create table KIVData (LogDate)" << 1 << "has no column LogText";
}

void tst_Database::opensOnlyAnExistingDatabaseWithTheTable()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, createStatement);
    QFETCH(int, number);
    QFETCH(QString, message);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Log.mdb"));
    QVERIFY(prepareDatabaseFile(path, content, createStatement));
    const QByteArray before = readFile(path);

    try {
        DatabaseLog database(path);
        database.open();
        QFAIL("opened");
    } catch (const Failure &failure) {
        QCOMPARE(failure.number() & 0xFF, number);
        QVERIFY2(failure.description().contains(path), qPrintable(failure.description()));
        QVERIFY2(failure.description().contains(message), qPrintable(failure.description()));
    }
    // A file refused is left as it was; a missing one is not made.
    QCOMPARE(QFile::exists(path), !content.isNull() || !createStatement.isEmpty());
    QCOMPARE(readFile(path), before);
}

void tst_Database::worksWithOtherColumnSets_data()
{
    QTest::addColumn<QString>("createStatement");
    QTest::newRow("only the two columns") << "create table KIVData (LogDate, LogText)";
    QTest::newRow("more columns") << "create table KIVData (ID integer primary key, Host text, "
                                     "LogDate text not null, LogText text not null, Seen int)";
}

void tst_Database::worksWithOtherColumnSets()
{
    QFETCH(QString, createStatement);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Log.mdb"));
    QVERIFY(createLogDatabase(path, createStatement));
    DatabaseLog database(path);
    database.open();
    database.add(Stamp, QStringLiteral("row"));
    QVERIFY(database.insertWaiting());
    QCOMPARE(queryColumn(path, QStringLiteral("select LogText from KIVData")), QStringList{"row"});
}

void tst_Database::readersDoNotStopInserts()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Log.mdb"));
    QVERIFY(createLogDatabase(path));
    DatabaseLog database(path);
    database.open();
    database.add(Stamp, QStringLiteral("before"));
    QVERIFY(database.insertWaiting());

    TestConnection reader(path);
    QVERIFY(reader.exec(QStringLiteral("begin")));
    QCOMPARE(reader.column(QStringLiteral("select count(*) from KIVData")), QStringList{"1"});
    database.add(Stamp, QStringLiteral("during"));
    QVERIFY(database.insertWaiting());
    QCOMPARE(reader.column(QStringLiteral("select count(*) from KIVData")), QStringList{"1"});
    QVERIFY(reader.exec(QStringLiteral("commit")));
    QCOMPARE(reader.column(QStringLiteral("select LogText from KIVData order by ID")),
             QStringList({"before", "during"}));
}

void tst_Database::waitsOutALockFoundAtOpening()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Log.mdb"));
    QVERIFY(createLogDatabase(path));
    // Not in WAL mode yet, and locked even for reading.
    std::optional<TestConnection> other(std::in_place, path);
    QVERIFY(other->exec(QStringLiteral("begin exclusive")));
    DatabaseLog database(path);
    database.open();
    database.add(Stamp, QStringLiteral("delayed, not lost"));
    QVERIFY(!database.insertWaiting());
    QVERIFY(database.isLocked());
    QCOMPARE(database.waitingRows(), quint64(1));

    other.reset();
    QVERIFY(database.insertWaiting());
    QCOMPARE(queryColumn(path, QStringLiteral("select LogText from KIVData")),
             QStringList{"delayed, not lost"});
    QCOMPARE(queryColumn(path, QStringLiteral("pragma journal_mode")), QStringList{"wal"});
}

void tst_Database::refusesToInsertIntoAFileNoLongerThere_data()
{
    QTest::addColumn<bool>("replaced");
    QTest::addColumn<bool>("moved");
    QTest::addColumn<QString>("message");
    QTest::newRow("deleted") << false << false << "deleted or moved away";
    QTest::newRow("moved away") << false << true << "deleted or moved away";
    QTest::newRow("replaced by another database") << true << false << "replaced by another";
    QTest::newRow("moved away and replaced") << true << true << "replaced by another";
}

void tst_Database::refusesToInsertIntoAFileNoLongerThere()
{
    QFETCH(bool, replaced);
    QFETCH(bool, moved);
    QFETCH(QString, message);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Log.mdb"));
    const QString aside = dir.filePath(QStringLiteral("old.mdb"));
    const QString replacement = dir.filePath(QStringLiteral("new.mdb"));
    QVERIFY(createLogDatabase(path));
    if (replaced)
        QVERIFY(createLogDatabase(replacement));
    {
        DatabaseLog database(path);
        database.open();
        database.add(Stamp, QStringLiteral("kept"));
        QVERIFY(database.insertWaiting());

        QVERIFY(moved ? QFile::rename(path, aside) : QFile::remove(path));
        if (replaced)
            QVERIFY(QFile::rename(replacement, path));
        try {
            database.add(Stamp, QStringLiteral("refused"));
            database.insertWaiting();
            QFAIL("inserted into a file no longer at its path");
        } catch (const Failure &failure) {
            QCOMPARE(failure.number(), 1032);
            QVERIFY2(failure.description().contains(path), qPrintable(failure.description()));
            QVERIFY2(failure.description().contains(message), qPrintable(failure.description()));
        }
    }
    // Closed, the connection has moved its rows from the WAL into the file it opened.
    if (replaced)
        QCOMPARE(queryColumn(path, QStringLiteral("select count(*) from KIVData")),
                 QStringList{"0"});
    if (moved)
        QCOMPARE(queryColumn(aside, QStringLiteral("select LogText from KIVData")),
                 QStringList{"kept"});
}

QTEST_GUILESS_MAIN(tst_Database)
#include "tst_database.moc"
