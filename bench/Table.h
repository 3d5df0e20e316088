// The table the bench prints: a row a figure, the new build's, the baseline's beside it when
// there is one, what it is compared with, its target and the verdict.
#pragma once

#include <QString>

#include <vector>

QString figure(double value, int decimals = 0);
QString verdict(bool met);
long median(std::vector<long> values);
QString joined(const std::vector<long> &values);

struct CpuResult;
struct DrainResult;
struct LockResult;
QString rateText(double rate);
QString microseconds(const CpuResult &cpu);
QString drainText(const DrainResult &drain);
QString lockText(const LockResult &lock);

class Table
{
public:
    explicit Table(bool withBaseline)
        : m_withBaseline(withBaseline)
    {}
    void row(const QString &what,
             const QString &logger,
             const QString &baseline,
             const QString &beside,
             const QString &target,
             const QString &result) const;
    // The verdict on this build, and for a target of its own also the baseline's.
    QString verdicts(bool met, bool baselineMet) const;
    // A row of one result for each build, shown and judged alike.
    template<class Result, class Show, class Met>
    void row(const QString &what,
             const std::vector<Result> &results,
             const Show &show,
             const QString &beside,
             const QString &target,
             const Met &met) const
    {
        row(what, show(results[0]), m_withBaseline ? show(results[1]) : QString(), beside, target,
            verdicts(met(results[0]), m_withBaseline && met(results[1])));
    }

private:
    bool m_withBaseline;
};
