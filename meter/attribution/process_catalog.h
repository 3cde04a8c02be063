#pragma once

#include "package_index.h"
#include "program_facts.h"

#include <QHash>
#include <QSet>
#include <QString>

namespace vexmora::meter {

struct ProcessIdentity
{
    QString name; // the process name (comm)
    QString app;  // the application name, see applicationName()
};

// The identities of socket owners, read from /proc/PID once, when a scan
// first finds the process, and kept while it owns tracked sockets: a process
// that exits still has its last bytes to be attributed.
class ProcessCatalog
{
public:
    ProcessCatalog(const QString &procRoot, const QStringList &programDirs,
                   const PackageIndex &packages);

    // Reads the process's identity unless known. A process already gone is
    // known by the name recorded for it, when there is one, and runs the
    // program recorded when it executed, else the program of that name in
    // programDirs, if any.
    void learn(qint64 pid, const QByteArray &recordedName = {},
               const ProgramFacts &recordedProgram = {});
    const ProcessIdentity *find(qint64 pid) const;
    // Names every known process's application again (the packages changed).
    void renameApplications();
    void retainOnly(const QSet<qint64> &pids);

private:
    struct Entry
    {
        ProcessIdentity identity;
        ProgramFacts program;
    };

    QString procRoot_;
    QStringList programDirs_;
    const PackageIndex &packages_;
    QHash<qint64, Entry> entries_;
};

} // namespace vexmora::meter
