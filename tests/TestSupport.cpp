#include "TestSupport.h"

#include "DatabaseLog.h"
#include "Failure.h"
#include "FileDescriptor.h"
#include "TextEncoding.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QTest>
#include <QThread>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

RecordingFixture::RecordingFixture(quint64 queueDatagrams, DatagramQueue *source)
    : queue(16 * 1024 * 1024, queueDatagrams)
    , recorder(source ? *source : queue, entries, textLog, database, clock)
{
    if (!createLogDatabase(databasePath))
        return;
    try {
        database.open();
        ready = true;
    } catch (const Failure &failure) {
        qWarning() << failure.description();
    }
}

void RecordingFixture::start()
{
    recorder.start([this](const std::optional<Failure> &failure) {
        ended = failure ? failure->number() : -1;
    });
}

bool sendDatagram(quint16 port, const QByteArray &payload, bool ipv6)
{
    const FileDescriptor socket(::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket.isValid()) {
        qWarning("socket: %s", std::strerror(errno));
        return false;
    }
    ssize_t sent;
    if (ipv6) {
        sockaddr_in6 to{};
        to.sin6_family = AF_INET6;
        to.sin6_addr = in6addr_loopback;
        to.sin6_port = htons(port);
        sent = ::sendto(socket.get(), payload.constData(), size_t(payload.size()), 0,
                        reinterpret_cast<sockaddr *>(&to), sizeof to);
    } else {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port);
        sent = ::sendto(socket.get(), payload.constData(), size_t(payload.size()), 0,
                        reinterpret_cast<sockaddr *>(&to), sizeof to);
    }
    if (sent != ssize_t(payload.size())) {
        qWarning("sent %zd of %lld bytes to port %u: %s", sent, qlonglong(payload.size()), port,
                 sent < 0 ? std::strerror(errno) : "cut short");
        return false;
    }
    return true;
}

bool udpPortBound(quint16 port)
{
    const QByteArray local =
        ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0') + ' ';
    for (const char *table : {"/proc/net/udp", "/proc/net/udp6"}) {
        QFile file(QString::fromLatin1(table));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> lines = file.readAll().split('\n');
        for (const QByteArray &line : lines) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() > 1 && (fields[1] + ' ').endsWith(local))
                return true;
        }
    }
    return false;
}

QByteArray portTaken(quint16 port)
{
    QProcess ss;
    ss.start(QStringLiteral("ss"),
             {QStringLiteral("-Hlunp"), QStringLiteral("sport = :%1").arg(port)});
    ss.waitForFinished(5000);
    return "UDP port " + QByteArray::number(port) +
           " is taken by another program: " + ss.readAllStandardOutput().simplified();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::NoDotAndDotDot | QDir::AllEntries)
                   .size());
}

TestConnection::TestConnection(const QString &path, bool readOnly)
{
    sqlite3 *connection = nullptr;
    const int flags = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    const int result =
        sqlite3_open_v2(QFile::encodeName(path).constData(), &connection, flags, nullptr);
    m_connection.reset(connection);
    if (result != SQLITE_OK)
        qWarning() << "cannot open" << path << sqlite3_errstr(result);
    sqlite3_busy_timeout(connection, 10000);
}

bool TestConnection::exec(const QString &sql)
{
    if (sqlite3_exec(m_connection.get(), sql.toUtf8().constData(), nullptr, nullptr, nullptr) ==
        SQLITE_OK) {
        return true;
    }
    qWarning() << sql << sqlite3_errmsg(m_connection.get());
    return false;
}

QStringList TestConnection::column(const QString &sql)
{
    sqlite3_stmt *compiled = nullptr;
    int result =
        sqlite3_prepare_v2(m_connection.get(), sql.toUtf8().constData(), -1, &compiled, nullptr);
    const SqliteStatement statement(compiled);
    QStringList values;
    if (result == SQLITE_OK) {
        while ((result = sqlite3_step(compiled)) == SQLITE_ROW) {
            values.append(QString::fromUtf8(
                reinterpret_cast<const char *>(sqlite3_column_text(compiled, 0))));
        }
    }
    if (result != SQLITE_DONE)
        qWarning() << sql << sqlite3_errmsg(m_connection.get());
    return values;
}

bool createLogDatabase(const QString &path, const QString &createStatement)
{
    TestConnection connection(path);
    return connection.exec(createStatement.isEmpty() ? DatabaseLog::createTableStatement()
                                                     : createStatement);
}

bool prepareDatabaseFile(const QString &path,
                         const QByteArray &content,
                         const QString &createStatement)
{
    if (!content.isNull()) {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size()) {
            qWarning() << "cannot write" << path << file.errorString();
            return false;
        }
        return true;
    }
    return createStatement.isEmpty() || createLogDatabase(path, createStatement);
}

QStringList queryColumn(const QString &databasePath, const QString &sql)
{
    return TestConnection(databasePath).column(sql);
}

QByteArray printableAndHighBytes()
{
    QByteArray bytes;
    for (int b = 0x20; b <= 0xFF; ++b)
        bytes.append(char(b));
    return bytes;
}

quint32 testSeed()
{
    return qEnvironmentVariableIsSet("KIV_TEST_SEED")
               ? quint32(qEnvironmentVariableIntValue("KIV_TEST_SEED"))
               : 6177;
}

QByteArray entryOf(const QByteArray &datagram)
{
    return datagram.isEmpty() ? datagram : datagram.chopped(1);
}

QString rowHex(QByteArrayView entry)
{
    return QString::fromLatin1(decodeText(entry).text.toUtf8().toHex().toUpper());
}

qsizetype afterTimestamp(QByteArrayView log, qsizetype pos)
{
    // `width` 0: one or two digits, no leading zero.
    const auto number = [&](qsizetype width, int least, int most) {
        const qsizetype start = pos;
        int value = 0;
        while (pos < log.size() && pos - start < (width ? width : 2) && log[pos] >= '0' &&
               log[pos] <= '9')
            value = value * 10 + (log[pos++] - '0');
        const qsizetype digits = pos - start;
        return digits > 0 && (width ? digits == width : log[start] != '0') && value >= least &&
               value <= most;
    };
    const auto literal = [&](const char *text) {
        if (!log.sliced(pos).startsWith(QByteArrayView(text)))
            return false;
        pos += qsizetype(qstrlen(text));
        return true;
    };
    const bool matched = number(0, 1, 12) && literal("/") && number(0, 1, 31) && literal("/") &&
                         number(4, 1000, 9999) && literal(" ") && number(0, 1, 12) &&
                         literal(":") && number(2, 0, 59) && literal(":") && number(2, 0, 59) &&
                         (literal(" AM: ") || literal(" PM: "));
    return matched ? pos : -1;
}

bool takeLine(QByteArrayView log, qsizetype &pos, QByteArrayView entry)
{
    const qsizetype text = afterTimestamp(log, pos);
    if (text < 0 || !log.sliced(text).startsWith(entry) ||
        !log.sliced(text + entry.size()).startsWith("\r\n")) {
        return false;
    }
    pos = text + entry.size() + 2;
    return true;
}

QString logMismatch(QByteArrayView log, const QByteArrayList &entries)
{
    qsizetype pos = 0;
    qsizetype line = 0;
    while (line < entries.size() && takeLine(log, pos, entries[line]))
        ++line;
    if (line == entries.size() && pos == log.size())
        return {};
    const QString found = QString::fromLatin1(
        log.sliced(pos).first(qMin<qsizetype>(40, log.size() - pos)).toByteArray().toHex(' '));
    return line < entries.size()
               ? QStringLiteral("the line of entry %1 differs at byte %2: %3")
                     .arg(line)
                     .arg(pos)
                     .arg(found)
               : QStringLiteral("more after the last line, at byte %1: %2").arg(pos).arg(found);
}

bool waitForLog(const QString &path, const QByteArrayList &entries)
{
    QString mismatch;
    if (QTest::qWaitFor([&] { return (mismatch = logMismatch(readFile(path), entries)).isEmpty(); },
                        10000))
        return true;
    qWarning() << path << mismatch;
    return false;
}

qint64 receiveBufferBudget()
{
    QFile limit(QStringLiteral("/proc/sys/net/core/rmem_max"));
    qint64 rmemMax = 212992;
    if (limit.open(QIODevice::ReadOnly))
        rmemMax = limit.readAll().trimmed().toLongLong();
    return qMin<qint64>(rmemMax, 8 * 1024 * 1024);
}

qint64 bufferCost(QByteArrayView payload)
{
    return 2 * payload.size() + 2048;
}

ProgramUnderTest::ProgramUnderTest(bool withDatabase)
    : m_copyDirectory(std::in_place)
    , m_directory(m_copyDirectory->path())
{
    const QString copy = file(QStringLiteral("kivlogging"));
    m_prepared = QFile::copy(QStringLiteral(KIV_EXECUTABLE), copy) &&
                 (!withDatabase || createLogDatabase(file(QStringLiteral("Log.mdb"))));
    m_process.setProgram(copy);
    m_process.setWorkingDirectory(QDir::rootPath());
}

ProgramUnderTest::ProgramUnderTest(const QString &program)
    : m_directory(QFileInfo(program).canonicalPath())
{
    m_process.setProgram(program);
    m_process.setWorkingDirectory(QDir::rootPath());
}

ProgramUnderTest::~ProgramUnderTest()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

void ProgramUnderTest::setChildSetup(const std::function<void()> &setup)
{
    m_process.setChildProcessModifier(setup);
}

void ProgramUnderTest::start(const QStringList &environment)
{
    // Not started, the test fails at its wait for the program.
    if (!m_prepared) {
        qWarning("the copy of the program or its database could not be made");
        return;
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    for (const QString &entry : environment) {
        if (entry.startsWith(QLatin1Char('-')))
            env.remove(entry.mid(1));
        else
            env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
    }
    m_process.setProcessEnvironment(env);
    m_process.start();
}

bool ProgramUnderTest::startListening(const QStringList &environment)
{
    start(environment);
    if (!m_process.waitForStarted(10000))
        return false;
    // The socket is bound before the window shows, and datagrams wait in it from then on.
    const QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        if (m_process.state() != QProcess::Running)
            return false;
        if (udpPortBound(6177))
            return true;
        m_process.waitForFinished(20);
    }
    return false;
}

int ProgramUnderTest::terminate()
{
    m_process.terminate();
    if (!m_process.waitForFinished(10000) || m_process.exitStatus() != QProcess::NormalExit)
        return -1;
    return m_process.exitCode();
}
