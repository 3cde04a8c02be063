#pragma once

#include "container_names.h"
#include "package_index.h"
#include "program_facts.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <map>
#include <memory>

namespace vexmora::meter {

struct ProcessIdentity
{
    QString name; // the process name (comm)
    // The application name, see applicationName(); "CONTAINER/PROGRAM" for a
    // process in a container, PROGRAM named by the container's own packages.
    QString app;
};

// The identities of socket owners, read from /proc/PID once, when a scan
// first finds the process, and kept while it owns tracked sockets: a process
// that exits still has its last bytes to be attributed.
class ProcessCatalog
{
public:
    ProcessCatalog(const QString &procRoot, const QStringList &programDirs,
                   const PackageIndex &packages, const ContainerStateRoots &containerState = {});

    // Reads the process's identity unless known. A process already gone is
    // known by the name recorded for it, when there is one, and runs the
    // program recorded when it executed (in the container its cgroup then
    // names), else the program of that name in programDirs, if any (on the
    // host). The directory it ran in is not known, so only an absolute script
    // names it.
    void learn(qint64 pid, const QByteArray &recordedName = {},
               const RecordedProgram &recorded = {});
    const ProcessIdentity *find(qint64 pid) const;
    // Names every known process's application again (the packages changed).
    void renameApplications();
    void retainOnly(const QSet<qint64> &pids);

private:
    struct Entry
    {
        ProcessIdentity identity;
        ProgramFacts program;
        QString container; // its displayable name; empty on the host
    };
    struct ContainerPackages
    {
        std::unique_ptr<PackageIndex> index;
        quint64 lastUse = 0;
    };

    void learnRunning(const QString &processDir, Entry &entry);
    void learnGone(const RecordedProgram &recorded, Entry &entry);
    // Prefixes the container's name, when there is one.
    void nameInContainer(const ContainerCgroup &container, const PackageIndex &packages,
                         Entry &entry);
    // The packages of the container's root as processDir sees it.
    const PackageIndex &containerPackages(const ContainerCgroup &container,
                                          const QString &processDir);

    QString procRoot_;
    QStringList programDirs_;
    const PackageIndex &packages_;
    ContainerNames containerNames_;
    // By runtime and key, the least recently used dropped beyond a bound.
    std::map<QString, ContainerPackages> containerPackages_;
    const PackageIndex noPackages_{QString(), QString()}; // a gone container's, unread
    quint64 containerUses_ = 0;
    QHash<qint64, Entry> entries_;
};

} // namespace vexmora::meter
