#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QString>

namespace vexmora::meter {

// Where the container runtimes keep their state on disk.
struct ContainerStateRoots
{
    QString docker = QStringLiteral("/var/lib/docker");
    QString containers = QStringLiteral("/var/lib/containers"); // podman's storage
};

enum class ContainerRuntime { None, Docker, Podman, Nspawn, Lxc };

// A container as its cgroup tells it: the runtime and what the runtime keys
// it by (the 64-hex id for Docker and Podman, the name for the others).
struct ContainerCgroup
{
    ContainerRuntime runtime = ContainerRuntime::None;
    QString key;
};

// The path of the unified (v2) hierarchy in the text of /proc/PID/cgroup, or
// nothing when the text holds no such line or more than one: a cgroup name
// may hold a line break, and a second "0::" line could only come from one.
QString unifiedCgroupPath(const QByteArray &procCgroup);
// unifiedCgroupPath() of processDir/cgroup (a /proc/PID directory).
QString processCgroupPath(const QString &processDir);

// The container a cgroup belongs to, by the names the runtimes give the
// cgroups they create, and only where they create them: at the top of the
// hierarchy or in system.slice and machine.slice, which only root writes to.
// A user's delegated subtree (user.slice) holds no container.
ContainerCgroup containerCgroup(const QString &cgroupPath);

// The names of containers as their runtimes know them, read from the
// runtimes' state files (never by asking a daemon), each file read again only
// when it changed.
class ContainerNames
{
public:
    explicit ContainerNames(ContainerStateRoots roots);

    // The displayable name (at most kMaxContainerNameBytes) of the container;
    // for Docker and Podman the id's first 12 digits when no state file names
    // it.
    QString nameOf(const ContainerCgroup &container);

private:
    struct StateFile
    {
        QDateTime modified;
        qint64 size = -1;
        QHash<QString, QString> namesById;
    };

    QString dockerName(const QString &id);
    QString podmanName(const QString &id);
    const StateFile &stateFile(const QString &path,
                               QHash<QString, QString> (*parse)(const QByteArray &));

    ContainerStateRoots roots_;
    QHash<QString, StateFile> files_;
};

// The longest container name in an application's name, in UTF-8 bytes, so
// that the program's name after it still shows.
inline constexpr int kMaxContainerNameBytes = 128;

} // namespace vexmora::meter
