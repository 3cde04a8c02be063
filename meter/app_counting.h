#pragma once

#include "app_ledger.h"
#include "prometheus_textfile.h"

#include <QObject>
#include <QSocketNotifier>
#include <memory>

namespace vexmora::meter {

class SocketAttribution;

// The per-application side of counting: the attribution's increments into the
// daily application rows (once a minute) and the two snapshot files (every
// few seconds), "[]" in both while counting is off.
class AppCounting : public QObject
{
    Q_OBJECT

public:
    // attribution may be null: every byte then counts as unattributed.
    explicit AppCounting(SocketAttribution *attribution, QObject *parent = nullptr);
    ~AppCounting() override;

    // Counting starts: opens the attribution once, takes a fresh baseline.
    void start(qint64 elapsedMs);
    // Takes a fresh baseline: what moved before is not attributed.
    void restartBaseline();
    void account(const ByteCounts &hostBytes, qint64 wallMs);
    // Flushes the rows once a minute, before the UTC day ends, and writes the
    // snapshots every few seconds.
    void runPeriodicWork(qint64 wallMs, qint64 elapsedMs, qint64 intervalMs);
    // Counting stops (switched off, or the meter ends): rows flushed, snapshots emptied.
    void stop();
    // The busiest applications of the UTC day, for the textfile.
    std::vector<AppBytes> busiestToday(int count) const;
    // Reports of closed sockets the kernel dropped (its buffer was full).
    quint64 lostCloseReports() const;

private:
    void openAttribution();
    void writeSnapshots(qint64 elapsedMs);
    void warnOfNewLosses();

    SocketAttribution *attribution_;
    bool attributionOpen_ = false;
    bool attributionFailed_ = false;
    std::unique_ptr<QSocketNotifier> destroyNotifier_;
    AppLedger ledger_;
    qint64 lastFlushMs_ = 0;
    qint64 lastSnapshotMs_ = 0;
    quint64 reportedLosses_ = 0;
};

} // namespace vexmora::meter
