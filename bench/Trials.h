// The trials, each on one build of the logger (or rsyslog, or the bare counter), and what a
// whole run of the bench found.
#pragma once

#include "Setup.h"
#include "Unprivileged.h"

#include <QStringList>
#include <QtNumeric>

class Display;
enum class Kind;

inline const std::vector<double> DrainDelays = {0, 0.2, 1};
inline const std::vector<double> CpuRates = {100, 1000, 10000};
constexpr double FloodRate = 50000;

struct DrainResult
{
    double delay = 0;
    qint64 delivered = -1;
    long lines = 0;
    long rows = 0;
    int exitCode = -1;
    double seconds = 0;
    bool met() const
    {
        return delivered >= 0 && lines == delivered && rows == delivered && exitCode == 0;
    }
};
// 100k at full speed, then SIGTERM `delay` seconds after the sender is done.
DrainResult drainTrial(const Bench &bench, const Build &build, double delay);

struct MillionResult
{
    long lost = -1;
    QString priority; // the line the logger said it on
};
// Of 1M at full speed, how many never reached the logger's lines or rows.
MillionResult millionTrial(const Bench &bench, const Build &build, Privilege privilege);
// Of 1M at full speed, how many the bare counter lost, under the same limit, as the same
// user with the same privilege, at real-time priority beside a logger that may take it.
long counterTrial(const Bench &bench, Privilege privilege);

// Wake-ups of an idle logger over the idle span, after a few messages and a short rest.
qint64 idleTrial(const Bench &bench, const Build &build);

struct CpuResult
{
    double perMessage = qQNaN(); // microseconds, of every process counted
    // The receiver's share, and on a display the X server's and the window manager's.
    std::vector<double> parts;
};
// CPU per message at a steady `rate`, counted from just before the first message until the
// last is written; on `display`, if given, the logger shows its window there.
CpuResult cpuTrial(const Bench &bench, const Build &build, double rate, const Display *display);
CpuResult rsyslogCpuTrial(const Bench &bench, double rate);

struct FloodResult
{
    double rowP99 = qQNaN();
    double rowMax = qQNaN();
    long rowsMissing = -1;
    qint64 dropped = -1;
    double listP99 = qQNaN();
    double listMax = qQNaN();
    long listSamples = 0;
    QString note;
};
// FloodRate into the window in-process, offscreen, which samples its list; meanwhile the
// latency from sending to a readable row.
FloodResult floodTrial(const Bench &bench, const Build &build);

struct PaintResult
{
    double p99 = qQNaN(); // milliseconds from sending to the paint that showed it
    double max = qQNaN();
    long unpainted = -1;
    QString note;
};
// A lone entry at a time, 100/s, into the window in-process on `display`.
PaintResult paintTrial(const Bench &bench, const Build &build, const Display &display);

struct LockResult
{
    double hold = 0;
    bool started = false;
    bool locked = false;
    int samples = 0;
    long worstMissing = 0; // of the entries sent over 1 s before a sample, at the worst one
    long count = 0;
    long lines = 0;
    long rows = 0;
    bool inOrder = false;
    double endedAfter = -1; // seconds into the lock when the logger ended by itself
    int exitCode = -1;
    QStringList messages;
    bool met() const;
};
// mylog.txt is looked at this often, evenly, while the lock is held.
constexpr int LockSamples = 4;
LockResult lockTrial(const Bench &bench, const Build &build, double hold);

struct HoldResult
{
    double rate = 0;
    bool held = false;
    QString note;
    double rssBefore = qQNaN();
    double rssAfter = qQNaN();
};

// Steps the rate up by doubling from 12.5k/s (down by halving if that fails), then bisects
// between the highest held and the lowest failed until they are within 10 %.
class RateSearch
{
public:
    static constexpr double Start = 12500;
    static constexpr double Highest = 400000;
    static constexpr double Lowest = 1000;

    bool done() const;
    double next() const;
    void record(const HoldResult &trial);
    double held() const { return m_held; }
    // The trial at the highest rate held.
    const HoldResult &best() const { return m_best; }
    QString trials() const { return m_trials.join(QStringLiteral(", ")); }

private:
    double m_held = 0;
    double m_failed = 0;
    HoldResult m_best;
    QStringList m_trials;
};

struct RateResults
{
    RateSearch logger;
    RateSearch rsyslog;
    // The baseline's one trial, at the highest rate this build held.
    HoldResult baseline;
};
RateResults searchRates(const Bench &bench);

// A trial's results in the order of the builds.
template<class Result>
using PerBuild = std::vector<Result>;

struct Results
{
    std::vector<PerBuild<DrainResult>> drains; // run by run, delay by delay
    // Without capabilities, and with CAP_SYS_NICE; run by run.
    std::vector<PerBuild<MillionResult>> millions[2];
    std::vector<long> counterLosses[2];
    PerBuild<qint64> wakeUps;
    std::vector<CpuResult> rsyslogCpu; // rate by rate
    std::vector<PerBuild<CpuResult>> loggerCpu;
    std::vector<PerBuild<CpuResult>> windowCpu;
    PaintResult paint; // this build's only
    qint64 loggerBuffer = -1;
    qint64 rsyslogBuffer = -1;
    PerBuild<FloodResult> floods;
    std::vector<PerBuild<LockResult>> locks; // hold by hold
    RateResults rates;
};

// The receive buffers the kernel grants the logger and rsyslog.
void measureBuffers(const Bench &bench, Results &results);
