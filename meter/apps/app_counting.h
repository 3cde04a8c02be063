// apps/: the applications' traffic: one source's counts attributed, the day's rows, the snapshots.
// May use the attribution, the store and outputs/ (atomic files); not host/ or alarms/.
#pragma once

#include "app_ledger.h"
#include "meter_store.h"
#include "process_attribution.h"

#include <QObject>
#include <QSocketNotifier>
#include <memory>
#include <sys/types.h>
#include <vector>

namespace vexmora::meter {

class SocketCountSource;

// A file's content as written, and the inode it was written to.
struct WrittenFile
{
    QByteArray content;
    ino_t inode = 0;
};

// The per-application side of counting: the per-socket counts of one source
// attributed to processes, into the daily application rows (written by the
// meter with the hour rows) and the two snapshot files (every few seconds),
// "[]" in both while counting is off.
class AppCounting : public QObject
{
    Q_OBJECT

public:
    // The sources in the order they are tried: the first that opens counts.
    // With none that opens, every byte counts as unattributed.
    explicit AppCounting(std::vector<SocketCountSource *> sources,
                         const AttributionSources &paths = {}, QObject *parent = nullptr);
    ~AppCounting() override;

    // The distinct applications a UTC day may name, see AppLedger.
    void limitApps(int maxPerDay) { ledger_ = AppLedger(maxPerDay); }

    // Opens a source, once per run. Slow on a slow machine (the kernel
    // programs are checked and loaded, the package index read): done before
    // the host's baseline is taken, so the time it takes is no gap.
    void open();
    // Counting starts: opens a source once, takes a fresh baseline.
    void start(qint64 elapsedMs);
    // Takes a fresh baseline: what moved before is not attributed.
    void restartBaseline();
    // Books a sample; whether the host or any socket moved bytes.
    bool account(const ByteCounts &hostBytes, qint64 wallMs);
    // After each sample: whether it saw traffic, and whether the source's
    // wake-up (woken()) asked for it. The rates' window restarts at samples
    // that saw nothing (the bytes of the next one moved after it) and at a
    // wake-up (the bytes move from then on).
    void sampled(bool moved, bool woken, qint64 elapsedMs);
    // The meter samples less often: the source wakes it on the first
    // traffic it sees (woken()), where it can.
    void setAsleep(bool asleep);
    // The host's routes changed: see SocketCountSource::setHostRoutes().
    void setHostRoutes(const std::vector<RoutePrefix> &prefixes);
    // Whether the meter may sleep while nothing moves: not when the source
    // cannot wake it at the first traffic.
    bool maySleep() const { return !source_ || source_->wakesOnTraffic(); }
    // What the application rows lack, for the meter's next write; the store
    // took `write`; the carry the previous run stored with its rows, with the
    // attributed bytes its day's rows hold.
    store::AppWrite unwritten() const { return ledger_.unwritten(); }
    void written(const store::AppWrite &write) { ledger_.written(write); }
    bool resume(const store::AppCarry &carry, const store::AppCarry &attributed)
    {
        return ledger_.resume(carry, attributed);
    }
    // The applications that today's rows in `store` name already.
    void rememberTodaysApps(store::MeterStore &store, qint64 wallMs);
    // Writes the snapshots every few seconds and says once a minute at most
    // whether final counts were lost or packets went uncounted (the table full).
    void runPeriodicWork(qint64 elapsedMs);
    // Counting stops (switched off, or the meter ends): snapshots emptied.
    void stop();
    // The busiest applications of the UTC day, for the textfile.
    std::vector<AppBytes> busiestToday(int count) const;
    // The name of the source that counts; empty while none does.
    QString sourceName() const;
    AttributionHealth health() const;

signals:
    void woken();

private:
    std::vector<ProcessTraffic> sampleSource();
    void writeSnapshots(qint64 elapsedMs);
    void restartRecentWindow(qint64 elapsedMs);
    void readNotifications();
    void writeSnapshotFiles(const QByteArray &apps, const QByteArray &processes);
    void warnOfNewLosses();

    std::vector<SocketCountSource *> candidates_;
    SocketCountSource *source_ = nullptr;
    bool openTried_ = false;
    ProcessAttribution processes_;
    std::unique_ptr<QSocketNotifier> notifier_;
    AppLedger ledger_;
    qint64 lastLossCheckMs_ = 0;
    qint64 lastSnapshotMs_ = 0;
    // The rates are the recent bytes over the time since the window started.
    qint64 windowStartMs_ = 0;
    bool windowMoved_ = false;
    bool asleep_ = false;
    quint64 reportedLosses_ = 0;
    quint64 reportedUncounted_ = 0;
    // What the snapshot files hold, as this meter last wrote them.
    WrittenFile writtenApps_;
    WrittenFile writtenProcesses_;
};

} // namespace vexmora::meter
