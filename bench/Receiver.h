// The receivers under test, each started and stopped the same way: in a temporary folder of
// its own, under the stock receive buffer limit, and killed with its object or the bench.
#pragma once

#include "Records.h"
#include "Unprivileged.h"

#include <QProcess>
#include <QTemporaryDir>

struct Build;
struct Tools;

// A temporary folder of the bench user's for one process run as that user, holding copies of
// what it runs and of the preload: nothing in the build's folder need be readable to it.
class Sandbox
{
public:
    explicit Sandbox(const Tools &tools);
    QString path() const { return m_directory.path(); }
    QString file(const QString &name) const { return m_directory.filePath(name); }
    // A copy of `program` as `name` in the folder, or empty.
    QString copy(const QString &program, const QString &name);
    // Under the stock buffer limit, at home in the folder; offscreen, or on `display` (":N").
    QProcessEnvironment environment(const QString &display) const;
    // Once everything is in place: the folder and its files become the bench user's.
    bool handOver();
    bool valid() const { return m_valid; }

private:
    QTemporaryDir m_directory;
    bool m_valid;
};

enum class Kind {
    Logger,  // the program, as the bench user
    Window,  // its stages and window in-process (bench_list), as the bench user
    Rsyslog, // an instance of its own, as the bench
    Counter, // the bare counter, as the bench user, taking 1M
};

class Receiver
{
public:
    // `build` for the logger and the window; the counter gets SCHED_FIFO 1 with CAP_SYS_NICE.
    Receiver(const Tools &tools,
             Kind kind,
             const Build *build = nullptr,
             Privilege privilege = Privilege::None,
             const QString &display = {});
    ~Receiver();
    Receiver(const Receiver &) = delete;
    Receiver &operator=(const Receiver &) = delete;

    QString name() const;
    QString file(const QString &name) const { return m_sandbox.file(name); }
    bool listening() const { return m_listening; }
    bool running() const { return m_process.state() == QProcess::Running; }
    qint64 pid() const { return m_process.processId(); }
    quint16 port() const;
    qint64 drops() const;
    long lines() { return m_lines.count(); }
    // Waits at most `seconds` for it to end by itself; whether it did.
    bool waitForEnd(double seconds);
    int exitCode() const;
    // What it said on stderr, line by line.
    QStringList messages() const;
    // The first line of what it said holding `word`, or empty.
    QString said(const QString &word) const;
    // Waits until `wanted` lines are written, or none came for `quietSeconds`, or at most
    // `deadlineSeconds`.
    long waitForLines(long wanted, double quietSeconds, double deadlineSeconds);
    // Which of the numbers 1..count its text output holds.
    Numbers lineNumbers(long count) const;
    long linesHolding(long count) const { return lineNumbers(count).distinct(); }
    // How many of them its rows hold; rsyslog has none to hold.
    long rowsHolding(long count) const;
    // Sends SIGTERM and waits for the end: the exit code and the seconds it took, or -1 when
    // it did not end within `deadlineSeconds` (and was killed) or crashed.
    int terminate(double deadlineSeconds, double *seconds = nullptr);
    // A line of its standard output, waiting at most `seconds`; empty if none came.
    QByteArray readLine(double seconds);
    void tell(const QByteArray &line);

    // What /proc showed of the first logger to listen with `privilege`.
    static QString credentialsSeen(Privilege privilege);

private:
    bool start(const Tools &tools, const Build *build, Privilege privilege);
    bool configureRsyslog();

    Kind m_kind;
    Sandbox m_sandbox;
    QProcess m_process;
    LineCounter m_lines;
    bool m_listening = false;
};
