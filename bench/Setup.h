// What the bench runs and for how long: its options, the tools built beside it, the builds it
// measures, and the checks that this machine can run it.
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

class QCoreApplication;

constexpr quint16 LoggerPort = 6177;
constexpr quint16 RsyslogPort = 6178;
// Of every datagram, in bytes.
constexpr int Size = 100;
constexpr long Million = 1000000;

struct Settings
{
    explicit Settings(bool quick);

    bool quick;
    int runs;
    int floodSeconds;
    int cpuSeconds;
    int idleSeconds;
    int paintSeconds;
    std::vector<double> lockSeconds;
};

// One build of the logger: the program and the window in-process (bench_list).
struct Build
{
    QString name;
    QString program;
    QString list;
};

struct Tools
{
    QString schema;
    QString sender;
    QString counter;
    QString clamp;
    QString rsyslog;
    // This build first; then the baseline, if given.
    std::vector<Build> builds;
};

// The bench once set up, and what it tells on stderr as it goes.
class Bench
{
public:
    Bench(const Settings &settings, const Tools &tools);

    const Build &current() const { return tools.builds.front(); }
    bool withBaseline() const { return tools.builds.size() > 1; }
    int elapsed() const;
    void progress(const QString &what) const;
    // Runs `trial` (this bench, a build, `arguments`) on each build in turn, so that both meet
    // the same moods of the machine; the results in the order of the builds.
    template<class Trial, class... Arguments>
    auto eachBuild(const QString &what, const Trial &trial, const Arguments &...arguments) const
    {
        std::vector<decltype(trial(*this, current(), arguments...))> results;
        for (const Build &build : tools.builds) {
            progress(withBaseline() ? QStringLiteral("%1 (%2)").arg(what, build.name) : what);
            results.push_back(trial(*this, build, arguments...));
        }
        return results;
    }

    const Settings settings;
    const Tools tools;
    const QByteArray loadAtStart;

private:
    qint64 m_start;
};

// The bench its command line asks for, where this machine can run it; otherwise it says why
// on stderr and sets `status`.
std::optional<Bench> setUp(const QCoreApplication &application, int *status);
