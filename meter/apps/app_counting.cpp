#include "app_counting.h"

#include "atomic_file.h"
#include "snapshot_json.h"
#include "socket_count_source.h"
#include "vexmora_paths.h"

#include <QDebug>
#include <algorithm>
#include <malloc.h>
#include <sys/stat.h>

namespace vexmora::meter {
namespace {

constexpr qint64 kLossCheckMs = 60 * 1000;
constexpr qint64 kSnapshotMs = 5 * 1000;

// The file's inode, 0 when it is absent.
ino_t inodeOf(const char *path)
{
    struct stat status;
    return ::stat(path, &status) == 0 ? status.st_ino : 0;
}

// Replaces the file unless it holds that content already: as this meter last
// wrote it, and still the file it wrote (not removed or replaced since).
void writeSnapshotFile(const char *path, const QByteArray &content, WrittenFile &written)
{
    if (content == written.content && written.inode != 0 && inodeOf(path) == written.inode)
        return;
    const bool replaced = replaceFileAtomically(QString::fromUtf8(path), content);
    written = replaced ? WrittenFile{content, inodeOf(path)} : WrittenFile{};
}

} // namespace

AppCounting::AppCounting(std::vector<SocketCountSource *> sources, const AttributionSources &paths,
                         QObject *parent)
    : QObject(parent), candidates_(std::move(sources)), processes_(paths)
{}

AppCounting::~AppCounting() = default;

void AppCounting::start(qint64 elapsedMs)
{
    open();
    restartBaseline();
    lastLossCheckMs_ = elapsedMs;
    lastSnapshotMs_ = elapsedMs;
    restartRecentWindow(elapsedMs);
}

void AppCounting::restartBaseline()
{
    sampleSource();
}

bool AppCounting::account(const ByteCounts &hostBytes, qint64 wallMs)
{
    const std::vector<ProcessTraffic> processes = sampleSource();
    ledger_.account(processes, hostBytes, utcDayOf(wallMs));
    return !hostBytes.isZero() ||
           std::any_of(processes.begin(), processes.end(),
                       [](const ProcessTraffic &process) { return !process.bytes.isZero(); });
}

void AppCounting::sampled(bool moved, bool woken, qint64 elapsedMs)
{
    if (moved && woken && !windowMoved_) {
        // The first packets woke the meter: the rates count from here, and
        // the next snapshot gives them over a whole window.
        lastSnapshotMs_ = elapsedMs;
        restartRecentWindow(elapsedMs);
    } else if (!moved && !windowMoved_) {
        restartRecentWindow(elapsedMs);
    }
    windowMoved_ = windowMoved_ || moved;
}

void AppCounting::setAsleep(bool asleep)
{
    // Armed again at every sample while asleep: a wake-up that a sample took
    // along with the final counts is not waited for.
    if (!source_ || (asleep == asleep_ && !asleep))
        return;
    asleep_ = asleep;
    source_->wakeOnTraffic(asleep);
}

void AppCounting::setHostRoutes(const std::vector<RoutePrefix> &prefixes)
{
    if (source_)
        source_->setHostRoutes(prefixes);
}

void AppCounting::runPeriodicWork(qint64 elapsedMs)
{
    if (elapsedMs - lastLossCheckMs_ >= kLossCheckMs) {
        lastLossCheckMs_ = elapsedMs;
        warnOfNewLosses();
    }
    if (elapsedMs - lastSnapshotMs_ >= kSnapshotMs) {
        writeSnapshots(elapsedMs);
    }
}

void AppCounting::stop()
{
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

QString AppCounting::sourceName() const
{
    return source_ ? source_->name() : QString();
}

AttributionHealth AppCounting::health() const
{
    AttributionHealth health;
    if (source_) {
        source_->addHealth(health);
        processes_.addHealth(health);
    }
    return health;
}

std::vector<ProcessTraffic> AppCounting::sampleSource()
{
    if (!source_)
        return {};
    return processes_.attribute(source_->sample(), *source_);
}

void AppCounting::warnOfNewLosses()
{
    const AttributionHealth now = health();
    if (now.uncountedPackets > reportedUncounted_) {
        qWarning("%llu packets were not counted for their sockets so far: the kernel's table "
                 "of live sockets is full (%d tracked), their bytes count as unattributed.",
                 now.uncountedPackets, now.trackedSockets);
        reportedUncounted_ = now.uncountedPackets;
    }
    const quint64 lost = now.lostFinalCounts;
    if (lost > reportedLosses_) {
        const QString remedy = source_->finalCountsRemedy();
        qWarning("The final counts of closed sockets were lost %llu times so far: their last "
                 "bytes count as unattributed.%s%s",
                 lost, remedy.isEmpty() ? "" : " ", qPrintable(remedy));
        reportedLosses_ = lost;
    }
}

// Once per run: the first source that opens counts from here on.
void AppCounting::open()
{
    if (openTried_)
        return;
    openTried_ = true;
    QStringList refusals;
    for (SocketCountSource *candidate : candidates_) {
        QString error;
        if (candidate->open(&error)) {
            source_ = candidate;
            break;
        }
        refusals << candidate->name() + QStringLiteral(": ") + error;
    }
    const QString why =
        candidates_.empty() ? QStringLiteral("no source") : refusals.join(QStringLiteral("; "));
    if (!source_) {
        qWarning().noquote() << "No per-application counting:" << why << "- every byte counts as"
                             << kUnattributed;
        return;
    }
    if (why.isEmpty())
        qInfo().noquote() << "Attributing the traffic to programs with" << source_->name();
    else
        qInfo().noquote() << "Attributing the traffic to programs with" << source_->name() << "("
                          << why << ")";
    processes_.start();
    // Opening took heap that is not needed again (libbpf reads the kernel's
    // whole type information, several MiB): the allocator keeps it unless told.
    malloc_trim(0);
    if (source_->notificationFd() < 0)
        return;
    notifier_ = std::make_unique<QSocketNotifier>(source_->notificationFd(), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &AppCounting::readNotifications);
}

void AppCounting::readNotifications()
{
    source_->readNotifications();
    if (asleep_) {
        asleep_ = false; // the source wakes the meter once per sleep
        emit woken();
    }
}

void AppCounting::writeSnapshots(qint64 elapsedMs)
{
    const double seconds = double(elapsedMs - windowStartMs_) / 1000;
    lastSnapshotMs_ = elapsedMs;
    ledger_.dropEndedProcesses();
    writeSnapshotFiles(appSnapshotJson(ledger_, seconds), processSnapshotJson(ledger_, seconds));
    restartRecentWindow(elapsedMs);
}

void AppCounting::restartRecentWindow(qint64 elapsedMs)
{
    windowStartMs_ = elapsedMs;
    windowMoved_ = false;
    ledger_.startRecentWindow();
}

// An idle host's snapshots stay the same from one write to the next: the
// files are not replaced then.
void AppCounting::writeSnapshotFiles(const QByteArray &apps, const QByteArray &processes)
{
    writeSnapshotFile(paths::kAppInfoFile, apps, writtenApps_);
    writeSnapshotFile(paths::kProcessInfoFile, processes, writtenProcesses_);
}

// The applications that today's rows name already count towards the day's
// limit, whichever run of the meter named them; unread, this run counts its own.
void AppCounting::rememberTodaysApps(store::MeterStore &store, qint64 wallMs)
{
    const qint64 day = utcDayOf(wallMs);
    std::vector<std::string> names;
    // The meter's own two rows may come on top of the applications.
    if (store.loadAppNames(day, ledger_.maxApps() + 2, names) != store::StoreResult::Done) {
        return;
    }
    QStringList apps;
    for (const std::string &name : names) {
        apps << QString::fromStdString(name);
    }
    ledger_.namedEarlier(day, apps);
}

} // namespace vexmora::meter
