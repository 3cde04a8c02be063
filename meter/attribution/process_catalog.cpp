#include "process_catalog.h"

#include "name_text.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>

namespace vexmora::meter {

namespace {

// Container package databases held at once; each holds a filter of 128 KiB
// while its lists can be read.
constexpr std::size_t kMaxContainerPackages = 16;
// A container's root user writes its package database: beyond these (a host
// with several thousand packages has a few thousand lists and some tens of
// MiB in them) it names nothing rather than keep the meter reading.
constexpr std::size_t kMaxContainerLists = 8192;
constexpr qint64 kMaxContainerListBytes = 64 * 1024 * 1024;

// Readlink of /proc/PID/exe; a replaced executable (an upgraded package)
// reads "PATH (deleted)" and is named by PATH.
QString executablePath(const QString &processDir)
{
    static const QString kDeleted = QStringLiteral(" (deleted)");
    QString path = QFileInfo(processDir + QStringLiteral("/exe")).symLinkTarget();
    if (path.endsWith(kDeleted))
        path.chop(kDeleted.size());
    return path;
}

QStringList commandLine(const QString &processDir)
{
    QFile file(processDir + QStringLiteral("/cmdline"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList argv;
    for (const QByteArray &argument : file.readAll().split('\0'))
        argv.append(QFile::decodeName(argument));
    if (!argv.isEmpty() && argv.constLast().isEmpty())
        argv.removeLast();
    return argv;
}

QString containerKey(const ContainerCgroup &container)
{
    return QString::number(int(container.runtime)) + QLatin1Char(':') + container.key;
}

} // namespace

ProcessCatalog::ProcessCatalog(const QString &procRoot, const QStringList &programDirs,
                               const PackageIndex &packages,
                               const ContainerStateRoots &containerState)
    : procRoot_(procRoot), programDirs_(programDirs), packages_(packages),
      containerNames_(containerState)
{}

void ProcessCatalog::learn(qint64 pid, const QByteArray &recordedName,
                           const RecordedProgram &recorded)
{
    if (entries_.contains(pid))
        return;
    const QString dir = procRoot_ + QLatin1Char('/') + QString::number(pid);
    QFile comm(dir + QStringLiteral("/comm"));
    Entry entry;
    if (comm.open(QIODevice::ReadOnly)) {
        entry.identity.name = QString::fromUtf8(comm.readAll()).trimmed();
        learnRunning(dir, entry);
    } else if (!recordedName.isEmpty()) {
        entry.identity.name = QString::fromUtf8(recordedName);
        learnGone(recorded, entry);
    } else {
        return;
    }
    entry.identity.name = displayableName(entry.identity.name);
    entries_.insert(pid, entry);
}

// A process in a container runs what the container's root holds: its
// packages name it, never the host's, and the container's name comes first.
void ProcessCatalog::learnRunning(const QString &processDir, Entry &entry)
{
    const ContainerCgroup container = containerCgroup(processCgroupPath(processDir));
    const PackageIndex &packages = container.runtime == ContainerRuntime::None
                                       ? packages_
                                       : containerPackages(container, processDir);
    const QString cwd = QFileInfo(processDir + QStringLiteral("/cwd")).symLinkTarget();
    entry.program = programFacts(executablePath(processDir), commandLine(processDir), cwd, packages,
                                 processDir + QStringLiteral("/root"));
    nameInContainer(container, packages, entry);
}

// Its root is gone with it: a container's packages name it only as far as
// they were read for another of its processes.
void ProcessCatalog::learnGone(const RecordedProgram &recorded, Entry &entry)
{
    const ContainerCgroup container = containerCgroup(recorded.cgroup);
    const bool onHost = container.runtime == ContainerRuntime::None;
    const auto known = containerPackages_.find(containerKey(container));
    const PackageIndex &packages = onHost                              ? packages_
                                   : known != containerPackages_.end() ? *known->second.index
                                                                       : noPackages_;
    if (!recorded.executable.isEmpty())
        entry.program = programFacts(recorded.executable, recorded.argv, QString(), packages);
    else if (onHost)
        entry.program = programNamed(entry.identity.name, programDirs_);
    nameInContainer(container, packages, entry);
}

void ProcessCatalog::nameInContainer(const ContainerCgroup &container, const PackageIndex &packages,
                                     Entry &entry)
{
    entry.identity.app = applicationName(entry.program, entry.identity.name, packages);
    entry.container = containerNames_.nameOf(container);
    if (!entry.container.isEmpty())
        entry.identity.app =
            displayableAppName(entry.container + QLatin1Char('/') + entry.identity.app);
}

const PackageIndex &ProcessCatalog::containerPackages(const ContainerCgroup &container,
                                                      const QString &processDir)
{
    const QString key = containerKey(container);
    auto it = containerPackages_.find(key);
    if (it == containerPackages_.end()) {
        if (containerPackages_.size() >= kMaxContainerPackages) {
            containerPackages_.erase(std::min_element(
                containerPackages_.begin(), containerPackages_.end(),
                [](const auto &a, const auto &b) { return a.second.lastUse < b.second.lastUse; }));
        }
        auto index = std::make_unique<PackageIndex>(QString(), QString());
        index->limitLists(kMaxContainerLists, kMaxContainerListBytes);
        it = containerPackages_.emplace(key, ContainerPackages{std::move(index), 0}).first;
    }
    const QString dpkg = processDir + QStringLiteral("/root/var/lib/dpkg");
    it->second.index->relocate(dpkg + QStringLiteral("/info"), dpkg + QStringLiteral("/status"));
    it->second.index->refresh();
    it->second.lastUse = ++containerUses_;
    return *it->second.index;
}

const ProcessIdentity *ProcessCatalog::find(qint64 pid) const
{
    const auto it = entries_.constFind(pid);
    return it == entries_.constEnd() ? nullptr : &it->identity;
}

void ProcessCatalog::renameApplications()
{
    for (Entry &entry : entries_) {
        if (entry.container.isEmpty()) // a container's programs are not the host's packages
            entry.identity.app = applicationName(entry.program, entry.identity.name, packages_);
    }
}

void ProcessCatalog::retainOnly(const QSet<qint64> &pids)
{
    for (auto it = entries_.begin(); it != entries_.end();)
        it = pids.contains(it.key()) ? std::next(it) : entries_.erase(it);
}

} // namespace vexmora::meter
