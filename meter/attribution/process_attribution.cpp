#include "process_attribution.h"

namespace vexmora::meter {

namespace {

// dpkg rewrites its status file many times during one package run: the
// packages are not looked up again for each of those.
constexpr qint64 kPackageCheckIntervalMs = 60'000;

} // namespace

ProcessAttribution::ProcessAttribution(const AttributionSources &sources)
    : owners_(sources.procRoot),
      packages_(sources.dpkgInfoDir, sources.dpkgStatusFile, sources.packageFilterFile),
      catalog_(sources.procRoot, sources.programDirs, packages_, sources.containerState)
{}

void ProcessAttribution::start()
{
    packages_.refresh();
    sincePackageCheck_.start();
}

std::vector<ProcessTraffic> ProcessAttribution::attribute(const SourceSample &sample,
                                                          const SocketCountSource &source)
{
    refreshPackages();
    learnNewOwners(sample.newOwners, source);
    recheckOwnersGone(sample.bytes);
    std::vector<ProcessTraffic> traffic = sumByProcess(sample.bytes);
    if (sample.ownersReleased)
        forgetUnused(source);
    return traffic;
}

void ProcessAttribution::addHealth(AttributionHealth &health) const
{
    health.procScans = owners_.scans();
    health.processesGoneMidScan = owners_.processesGoneMidScan();
    const PackageIndex::LoadStats packages = packages_.stats();
    health.packageLists = packages.lists;
    health.unreadablePackageLists = packages.unreadableLists;
    health.packageSearches = packages.searches;
}

void ProcessAttribution::refreshPackages()
{
    if (sincePackageCheck_.isValid() && !sincePackageCheck_.hasExpired(kPackageCheckIntervalMs))
        return;
    sincePackageCheck_.start();
    if (packages_.refresh())
        catalog_.renameApplications();
}

void ProcessAttribution::learnNewOwners(const std::vector<SocketOwner> &owners,
                                        const SocketCountSource &source)
{
    std::vector<quint32> inodes;
    for (const SocketOwner &owner : owners) {
        if (owner.pid != 0)
            catalog_.learn(owner.pid, owner.comm, recordedProgram(owner.pid, source));
        else if (owner.inode != 0)
            inodes.push_back(owner.inode);
    }
    if (owners_.resolve(inodes))
        learnInodeOwners();
}

// What the source saw the process execute, for one that is gone before its
// /proc entry is read.
RecordedProgram ProcessAttribution::recordedProgram(qint64 pid,
                                                    const SocketCountSource &source) const
{
    RecordedProgram program;
    if (catalog_.find(pid) || !source.recordedProgram(pid, &program))
        return {};
    return program;
}

// A socket still held by a process whose owner has exited was inherited or
// passed on: scan again for its holder. One that no visible process holds
// becomes unattributed, and is not looked for again.
void ProcessAttribution::recheckOwnersGone(const std::vector<SocketBytes> &bytes)
{
    QHash<qint64, bool> running;
    std::vector<quint32> stale;
    for (const SocketBytes &socket : bytes) {
        if (!socket.held || socket.owner.pid != 0)
            continue;
        const qint64 pid = owners_.ownerOf(socket.owner.inode);
        if (pid == 0)
            continue;
        auto it = running.find(pid);
        if (it == running.end())
            it = running.insert(pid, owners_.isRunning(pid));
        if (!*it)
            stale.push_back(socket.owner.inode);
    }
    if (stale.empty())
        return;
    owners_.recheck(stale);
    learnInodeOwners();
}

// Right after a scan, while the owners surely still run.
void ProcessAttribution::learnInodeOwners()
{
    for (qint64 pid : owners_.pids())
        catalog_.learn(pid);
}

qint64 ProcessAttribution::pidOf(const SocketOwner &owner) const
{
    return owner.pid != 0 ? owner.pid : owners_.ownerOf(owner.inode);
}

std::vector<ProcessTraffic>
ProcessAttribution::sumByProcess(const std::vector<SocketBytes> &bytes) const
{
    std::vector<ProcessTraffic> traffic;
    QHash<qint64, std::size_t> indexOfPid;
    for (const SocketBytes &socket : bytes) {
        qint64 pid = pidOf(socket.owner);
        const ProcessIdentity *identity = pid != 0 ? catalog_.find(pid) : nullptr;
        const QString name = identity ? identity->name : QString::fromLatin1(kUnattributed);
        if (!identity)
            pid = 0;
        auto it = indexOfPid.find(pid);
        if (it == indexOfPid.end()) {
            it = indexOfPid.insert(pid, traffic.size());
            traffic.push_back({pid, name, identity ? identity->app : name, {}});
        }
        traffic[*it].bytes += socket.bytes;
    }
    return traffic;
}

void ProcessAttribution::forgetUnused(const SocketCountSource &source)
{
    QSet<quint32> inodes;
    QSet<qint64> pids;
    source.ownersInUse(inodes, pids);
    owners_.retainOnly(inodes);
    catalog_.retainOnly(owners_.pids() + pids);
}

} // namespace vexmora::meter
