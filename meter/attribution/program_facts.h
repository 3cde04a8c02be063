#pragma once

#include "package_index.h"

#include <QString>
#include <QStringList>

namespace vexmora::meter {

// What a process runs: its executable and, when that is an interpreter
// (python, perl, a shell, node, java, ...), the script, module, class or jar
// it was started with.
struct ProgramFacts
{
    QString executable; // absolute; empty when it could not be read
    QString script;     // absolute when it was a path; empty when none was given
};

// What a process executed, as a source saw it execute it.
struct RecordedProgram
{
    QString executable; // as execve() was given it
    QStringList argv;
    QString cgroup; // the path of its cgroup v2 then; empty when not known
};

// argv as in /proc/PID/cmdline; cwd resolves a relative script path (without
// one, only an absolute script can name the program). The executable is taken
// as an interpreter only when a package installed it, and its script only
// when that is an existing regular file.
// root is where the process's own / is seen (/proc/PID/root); empty for the
// meter's own view.
ProgramFacts programFacts(const QString &executable, const QStringList &argv, const QString &cwd,
                          const PackageIndex &packages, const QString &root = QString());

// The program a process of that name runs when it is the first of that name
// in directories: a process that exited before it was seen is then named as
// it would have been while it ran. Nothing for a name the kernel may have cut
// short, nor for an interpreter, whose own name says nothing of its script.
ProgramFacts programNamed(const QString &processName, const QStringList &directories);

// The name a package manager would give: the package that installed the
// script or the executable, else that file's name, else (no executable) the
// process name; always a displayableAppName().
QString applicationName(const ProgramFacts &facts, const QString &processName,
                        const PackageIndex &packages);

} // namespace vexmora::meter
