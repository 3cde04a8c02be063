#include "process_catalog.h"

#include "name_text.h"

#include <QFile>
#include <QFileInfo>

namespace vexmora::meter {

namespace {

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

} // namespace

ProcessCatalog::ProcessCatalog(const QString &procRoot, const QStringList &programDirs,
                               const PackageIndex &packages)
    : procRoot_(procRoot), programDirs_(programDirs), packages_(packages)
{}

void ProcessCatalog::learn(qint64 pid, const QByteArray &recordedName,
                           const ProgramFacts &recordedProgram)
{
    if (entries_.contains(pid))
        return;
    const QString dir = procRoot_ + QLatin1Char('/') + QString::number(pid);
    QFile comm(dir + QStringLiteral("/comm"));
    Entry entry;
    if (comm.open(QIODevice::ReadOnly)) {
        entry.identity.name = QString::fromUtf8(comm.readAll()).trimmed();
        const QString cwd = QFileInfo(dir + QStringLiteral("/cwd")).symLinkTarget();
        entry.program = programFacts(executablePath(dir), commandLine(dir), cwd, packages_,
                                     dir + QStringLiteral("/root"));
    } else if (!recordedName.isEmpty()) {
        entry.identity.name = QString::fromUtf8(recordedName);
        entry.program = recordedProgram.executable.isEmpty()
                            ? programNamed(entry.identity.name, programDirs_)
                            : recordedProgram;
    } else {
        return;
    }
    entry.identity.app = applicationName(entry.program, entry.identity.name, packages_);
    entry.identity.name = displayableName(entry.identity.name);
    entries_.insert(pid, entry);
}

const ProcessIdentity *ProcessCatalog::find(qint64 pid) const
{
    const auto it = entries_.constFind(pid);
    return it == entries_.constEnd() ? nullptr : &it->identity;
}

void ProcessCatalog::renameApplications()
{
    for (Entry &entry : entries_)
        entry.identity.app = applicationName(entry.program, entry.identity.name, packages_);
}

void ProcessCatalog::retainOnly(const QSet<qint64> &pids)
{
    for (auto it = entries_.begin(); it != entries_.end();)
        it = pids.contains(it.key()) ? std::next(it) : entries_.erase(it);
}

} // namespace vexmora::meter
