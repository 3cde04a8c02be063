#include "attribution_core.h"

namespace vexmora::meter {

namespace {

// dpkg rewrites its status file many times during one package run: the lists
// are not loaded again for each of those.
constexpr qint64 kPackageCheckIntervalMs = 60'000;

} // namespace

AttributionCore::AttributionCore(const AttributionSources &sources,
                                 LocalAddresses::Source localAddresses)
    : local_(std::move(localAddresses)), ledger_(local_), owners_(sources.procRoot),
      packages_(sources.dpkgInfoDir, sources.dpkgStatusFile), catalog_(sources.procRoot, packages_)
{}

void AttributionCore::start(const DiagBatch &baseline)
{
    packages_.refresh();
    sincePackageCheck_.start();
    applyDump(baseline);
    resolveNewOwners();
}

void AttributionCore::applyDestroyed(const DiagBatch &destroyed, quint64 overruns)
{
    counts_.overruns += overruns;
    countRecords(destroyed);
    for (const SocketRecord &record : destroyed.sockets)
        ledger_.applyDestroy(record);
}

void AttributionCore::applyDump(const DiagBatch &dump)
{
    countRecords(dump);
    local_.expire();
    ledger_.applyDump(dump.sockets);
}

void AttributionCore::noteDumpFailure(const QString &error)
{
    ++counts_.failedDumps;
    counts_.lastDumpError = error;
}

std::vector<ProcessTraffic> AttributionCore::collect()
{
    refreshPackages();
    resolveNewOwners();
    const std::vector<SocketBytes> bytes = ledger_.takeBytes();
    recheckOwnersGone(bytes);
    std::vector<ProcessTraffic> traffic = sumByProcess(bytes);
    forgetUntracked();
    return traffic;
}

AttributionHealth AttributionCore::health() const
{
    AttributionHealth health = counts_;
    health.vanishedSockets = ledger_.vanishedSockets();
    health.trackedSockets = ledger_.trackedSockets();
    health.procScans = owners_.scans();
    health.processesGoneMidScan = owners_.processesGoneMidScan();
    const PackageIndex::LoadStats packages = packages_.stats();
    health.packageLists = packages.lists;
    health.unreadablePackageLists = packages.unreadableLists;
    health.rejectedPackageListLines = packages.rejectedLines;
    return health;
}

void AttributionCore::countRecords(const DiagBatch &batch)
{
    counts_.malformedMessages += batch.malformed;
    for (const SocketRecord &record : batch.sockets)
        counts_.socketsWithoutCounters += record.hasCounters ? 0 : 1;
}

void AttributionCore::refreshPackages()
{
    if (sincePackageCheck_.isValid() && !sincePackageCheck_.hasExpired(kPackageCheckIntervalMs))
        return;
    sincePackageCheck_.start();
    if (packages_.refresh())
        catalog_.renameApplications();
}

void AttributionCore::resolveNewOwners()
{
    if (owners_.resolve(ledger_.takeNewInodes()))
        learnOwners();
}

// A socket still held by a process whose owner has exited was inherited or
// passed on: scan again for its holder. One that no visible process holds
// becomes unattributed, and is not looked for again.
void AttributionCore::recheckOwnersGone(const std::vector<SocketBytes> &bytes)
{
    QHash<qint64, bool> running;
    std::vector<quint32> stale;
    for (const SocketBytes &socket : bytes) {
        const qint64 pid = owners_.ownerOf(socket.ownerInode);
        if (!socket.held || pid == 0)
            continue;
        auto it = running.find(pid);
        if (it == running.end())
            it = running.insert(pid, owners_.isRunning(pid));
        if (!*it)
            stale.push_back(socket.ownerInode);
    }
    if (stale.empty())
        return;
    owners_.recheck(stale);
    learnOwners();
}

// Right after a scan, while the owners surely still run.
void AttributionCore::learnOwners()
{
    for (qint64 pid : owners_.pids())
        catalog_.learn(pid);
}

std::vector<ProcessTraffic>
AttributionCore::sumByProcess(const std::vector<SocketBytes> &bytes) const
{
    std::vector<ProcessTraffic> traffic;
    QHash<qint64, std::size_t> indexOfPid;
    for (const SocketBytes &socket : bytes) {
        qint64 pid = owners_.ownerOf(socket.ownerInode);
        const ProcessIdentity *identity = pid != 0 ? catalog_.find(pid) : nullptr;
        if (!identity)
            pid = 0;
        auto it = indexOfPid.find(pid);
        if (it == indexOfPid.end()) {
            it = indexOfPid.insert(pid, traffic.size());
            const QString unattributed = QString::fromLatin1(kUnattributed);
            traffic.push_back({pid,
                               identity ? identity->name : unattributed,
                               identity ? identity->app : unattributed,
                               {}});
        }
        traffic[*it].bytes += socket.bytes;
    }
    return traffic;
}

void AttributionCore::forgetUntracked()
{
    if (ledger_.releases() == releasesCleanedUp_)
        return;
    releasesCleanedUp_ = ledger_.releases();
    owners_.retainOnly(ledger_.ownerInodes());
    catalog_.retainOnly(owners_.pids());
}

} // namespace vexmora::meter
