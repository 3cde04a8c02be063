#include "socket_owners.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <unistd.h>

// The scan walks thousands of directory entries per call, so it uses the
// directory and link calls directly: QDir would build a QFileInfo for each.

namespace vexmora::meter {

namespace {

bool parsePid(const char *name, qint64 &pid)
{
    if (*name < '1' || *name > '9')
        return false;
    char *end = nullptr;
    pid = std::strtoll(name, &end, 10);
    return *end == '\0';
}

// "socket:[12345]" -> 12345
bool parseSocketLink(const char *target, ssize_t length, quint32 &inode)
{
    static constexpr char kPrefix[] = "socket:[";
    constexpr ssize_t kPrefixLength = sizeof kPrefix - 1;
    if (length <= kPrefixLength + 1 || std::memcmp(target, kPrefix, kPrefixLength) != 0 ||
        target[length - 1] != ']')
        return false;
    quint64 value = 0;
    for (ssize_t i = kPrefixLength; i < length - 1; ++i) {
        if (target[i] < '0' || target[i] > '9' || value > 0xffffffffu)
            return false;
        value = value * 10 + quint64(target[i] - '0');
    }
    inode = quint32(value);
    return value <= 0xffffffffu;
}

} // namespace

SocketOwners::SocketOwners(const QString &procRoot) : procRoot_(QFile::encodeName(procRoot)) {}

bool SocketOwners::resolve(const std::vector<quint32> &inodes)
{
    std::vector<quint32> unknown;
    for (quint32 inode : inodes) {
        if (inode != 0 && !owners_.contains(inode))
            unknown.push_back(inode);
    }
    if (unknown.empty())
        return false;
    scan(unknown);
    return true;
}

void SocketOwners::recheck(const std::vector<quint32> &inodes)
{
    if (!inodes.empty())
        scan(inodes);
}

bool SocketOwners::isRunning(qint64 pid) const
{
    const QByteArray path = procRoot_ + '/' + QByteArray::number(pid);
    return ::access(path.constData(), F_OK) == 0;
}

void SocketOwners::retainOnly(const QSet<quint32> &inodes)
{
    for (auto it = owners_.begin(); it != owners_.end();)
        it = inodes.contains(it.key()) ? std::next(it) : owners_.erase(it);
}

QSet<qint64> SocketOwners::pids() const
{
    QSet<qint64> pids;
    for (qint64 pid : owners_)
        pids.insert(pid);
    pids.remove(0);
    return pids;
}

// Every known inode a process holds gets that process as its owner; a wanted
// one no process holds gets none (0).
void SocketOwners::scan(const std::vector<quint32> &wanted)
{
    ++scans_;
    QSet<quint32> missing(wanted.begin(), wanted.end());
    QHash<quint32, qint64> found;
    for (qint64 pid : listProcessesNewestFirst()) {
        scanProcess(pid, missing, found);
        if (missing.isEmpty())
            break;
    }
    for (auto it = found.cbegin(); it != found.cend(); ++it)
        owners_.insert(it.key(), it.value());
    for (quint32 inode : wanted) {
        if (!found.contains(inode))
            owners_.insert(inode, 0);
    }
}

std::vector<qint64> SocketOwners::listProcessesNewestFirst() const
{
    std::vector<qint64> pids;
    DIR *dir = ::opendir(procRoot_.constData());
    if (!dir)
        return pids;
    while (const dirent *entry = ::readdir(dir)) {
        qint64 pid = 0;
        if (parsePid(entry->d_name, pid))
            pids.push_back(pid);
    }
    ::closedir(dir);
    std::sort(pids.begin(), pids.end(), std::greater<qint64>());
    return pids;
}

void SocketOwners::scanProcess(qint64 pid, QSet<quint32> &missing, QHash<quint32, qint64> &found)
{
    const QByteArray fdPath = procRoot_ + '/' + QByteArray::number(pid) + "/fd";
    const int fdDir = ::open(fdPath.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = fdDir >= 0 ? ::fdopendir(fdDir) : nullptr;
    if (!dir) {
        if (errno == ENOENT)
            ++goneMidScan_;
        if (fdDir >= 0)
            ::close(fdDir);
        return;
    }
    char target[64];
    while (const dirent *entry = ::readdir(dir)) {
        const ssize_t length = ::readlinkat(fdDir, entry->d_name, target, sizeof target);
        quint32 inode = 0;
        if (length <= 0 || !parseSocketLink(target, length, inode) || found.contains(inode))
            continue;
        if (missing.remove(inode) || owners_.contains(inode))
            found.insert(inode, pid);
    }
    ::closedir(dir);
}

} // namespace vexmora::meter
