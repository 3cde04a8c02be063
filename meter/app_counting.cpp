#include "app_counting.h"

#include "atomic_file.h"
#include "snapshot_json.h"
#include "socket_attribution.h"
#include "vexmora_paths.h"

#include <QDebug>
#include <algorithm>

namespace vexmora::meter {
namespace {

constexpr qint64 kFlushMs = 60 * 1000;
constexpr qint64 kSnapshotMs = 5 * 1000;
constexpr qint64 kDayMs = 24 * 3600 * 1000;

qint64 utcDay(qint64 wallMs)
{
    return wallMs / kDayMs;
}

void writeSnapshotFiles(const QByteArray &apps, const QByteArray &processes)
{
    replaceFileAtomically(QString::fromUtf8(paths::kAppInfoFile), apps);
    replaceFileAtomically(QString::fromUtf8(paths::kProcessInfoFile), processes);
}

} // namespace

AppCounting::AppCounting(SocketAttribution *attribution, QObject *parent)
    : QObject(parent), attribution_(attribution)
{}

AppCounting::~AppCounting() = default;

void AppCounting::start(qint64 elapsedMs)
{
    openAttribution();
    restartBaseline();
    lastFlushMs_ = elapsedMs;
    lastSnapshotMs_ = elapsedMs;
    ledger_.startRecentWindow();
}

void AppCounting::restartBaseline()
{
    if (attributionOpen_) {
        attribution_->sample();
    }
}

void AppCounting::account(const ByteCounts &hostBytes, qint64 wallMs)
{
    const std::vector<ProcessTraffic> processes =
        attributionOpen_ ? attribution_->sample() : std::vector<ProcessTraffic>();
    ledger_.account(processes, hostBytes, utcDay(wallMs));
}

void AppCounting::runPeriodicWork(qint64 wallMs, qint64 elapsedMs, qint64 intervalMs)
{
    // Rows are dated by the store when they are written: the bytes of a UTC
    // day go in before it ends.
    const bool dayEndsBeforeNextSample = utcDay(wallMs + intervalMs) != utcDay(wallMs);
    if (elapsedMs - lastFlushMs_ >= kFlushMs || dayEndsBeforeNextSample) {
        lastFlushMs_ = elapsedMs;
        ledger_.flush();
        warnOfNewLosses();
    }
    if (elapsedMs - lastSnapshotMs_ >= kSnapshotMs) {
        writeSnapshots(elapsedMs);
    }
}

void AppCounting::stop()
{
    ledger_.flush();
    writeSnapshotFiles(QByteArrayLiteral("[]"), QByteArrayLiteral("[]"));
}

std::vector<AppBytes> AppCounting::busiestToday(int count) const
{
    std::vector<AppBytes> apps;
    for (auto it = ledger_.appsToday().cbegin(); it != ledger_.appsToday().cend(); ++it) {
        apps.push_back(AppBytes{it.key(), it->total});
    }
    const auto busier = [](const AppBytes &a, const AppBytes &b) {
        return a.bytes.total() > b.bytes.total();
    };
    const size_t kept = std::min(apps.size(), size_t(qMax(count, 0)));
    std::partial_sort(apps.begin(), apps.begin() + ptrdiff_t(kept), apps.end(), busier);
    apps.resize(kept);
    return apps;
}

quint64 AppCounting::lostCloseReports() const
{
    return attributionOpen_ ? attribution_->lostNotifications() : 0;
}

void AppCounting::warnOfNewLosses()
{
    const quint64 lost = lostCloseReports();
    if (lost > reportedLosses_) {
        qWarning("The kernel dropped reports of closed sockets %llu times so far: their last "
                 "bytes count as unattributed. A larger net.core.rmem_max makes room.",
                 lost);
        reportedLosses_ = lost;
    }
}

void AppCounting::openAttribution()
{
    if (attributionOpen_ || attributionFailed_ || attribution_ == nullptr) {
        return;
    }
    QString error;
    if (!attribution_->open(&error)) {
        attributionFailed_ = true;
        qWarning().noquote() << "No per-application counting:" << error << "- every byte counts as"
                             << kUnattributed;
        return;
    }
    attributionOpen_ = true;
    destroyNotifier_ = std::make_unique<QSocketNotifier>(attribution_->destroyNotificationFd(),
                                                         QSocketNotifier::Read);
    connect(destroyNotifier_.get(), &QSocketNotifier::activated, this,
            [this] { attribution_->readDestroyNotifications(); });
}

void AppCounting::writeSnapshots(qint64 elapsedMs)
{
    const double seconds = double(elapsedMs - lastSnapshotMs_) / 1000;
    lastSnapshotMs_ = elapsedMs;
    ledger_.dropEndedProcesses();
    writeSnapshotFiles(appSnapshotJson(ledger_, seconds), processSnapshotJson(ledger_, seconds));
    ledger_.startRecentWindow();
}

} // namespace vexmora::meter
