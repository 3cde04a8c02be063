#pragma once

#include "attribution_types.h"
#include "meter_state.h"
#include "socket_record.h"

#include <QByteArray>
#include <QHash>
#include <QPair>
#include <QSet>
#include <QString>
#include <QStringList>
#include <vector>

namespace vexmora::meter {

// The UTC day of a moment of the wall clock: the day of the application rows
// that the bytes counted at that moment go to.
inline qint64 utcDayOf(qint64 wallMs)
{
    return wallMs / (24 * 3600 * 1000);
}

// Traffic of one application or process: in all, and since the last snapshot
// (for its rate).
struct TrafficTally
{
    ByteCounts total;
    ByteCounts recent;

    void add(const ByteCounts &bytes)
    {
        total += bytes;
        recent += bytes;
    }
};

struct ProcessTally
{
    QString name;
    QString app;
    TrafficTally bytes;
};

// The traffic of applications and processes as the attribution reports it,
// with the bytes it could not attribute (traffic of no local socket, sockets
// whose owner was gone) under kUnattributed, so that a UTC day's application
// rows add up to the host's bytes of that day. The rows are written with the
// hour rows, in the same transaction: what the rows lack is taken with
// unwritten() and let go with written() once the store holds it.
class AppLedger
{
public:
    // The distinct applications a UTC day names at most: the bytes of any
    // further one go to kOtherApps.
    static constexpr int kDefaultMaxApps = 10000;
    explicit AppLedger(int maxApps = kDefaultMaxApps) : maxApps_(maxApps) {}

    // One sample: the processes' increments and the host's bytes of the same
    // interval; utcDay tells when the application totals start again.
    void account(const std::vector<ProcessTraffic> &processes, const ByteCounts &host,
                 qint64 utcDay);
    // Every application's increments since the last write, and the day's
    // attributed bytes beyond the host's that are still to be taken off.
    store::AppWrite unwritten() const;
    // The store took `write`: its increments are no longer due.
    void written(const store::AppWrite &write);
    // The carry that the previous run stored with its rows; false (nothing
    // taken) when it cannot be right: negative, or more than the attributed
    // bytes that its day's rows hold (`attributed`).
    bool resume(const store::AppCarry &carry, const store::AppCarry &attributed);
    // The applications whose rows a UTC day held when counting started: they
    // count towards that day's limit and keep their rows.
    void namedEarlier(qint64 utcDay, const QStringList &apps);
    int maxApps() const { return maxApps_; }
    // Takes the recent bytes for the rates: called once per snapshot.
    void startRecentWindow();
    // Forgets the processes that no longer run.
    void dropEndedProcesses();

    const QHash<QString, TrafficTally> &appsToday() const { return apps_; }
    const QHash<qint64, ProcessTally> &processes() const { return processes_; }

private:
    // Increments not written yet; the unattributed ones may be negative.
    struct Unflushed
    {
        qint64 recv = 0;
        qint64 sent = 0;
    };

    void addApp(const QString &app, const ByteCounts &bytes);
    // The row an application's bytes go to today.
    QString rowOf(const QString &app) const;
    void settleUnattributed(const ByteCounts &host, const ByteCounts &attributed);
    quint64 takeBackUnattributed(quint64 excess, quint64 ByteCounts::*direction,
                                 qint64 Unflushed::*pending);

    int maxApps_;
    int ownRows_ = 0; // the day's rows of the meter's own: unattributed, other
    qint64 earlierDay_ = -1;
    QSet<QString> earlier_;
    int earlierOnly_ = 0; // of earlier_, those not in apps_
    qint64 day_ = -1;
    QHash<QString, TrafficTally> apps_;
    // By UTC day and application: a day's increments that a refused write
    // left are written into that day's rows later.
    QHash<QPair<qint64, QString>, Unflushed> unflushed_;
    QHash<qint64, ProcessTally> processes_;
    // Attributed bytes beyond the host's that no unattributed bytes of the
    // day could make up for (sockets over interfaces that are not counted),
    // taken off the next unattributed bytes of the day.
    ByteCounts overAttributed_;
};

} // namespace vexmora::meter
