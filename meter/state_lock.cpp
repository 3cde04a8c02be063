#include "state_lock.h"

#include "vexmora_bus_names.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vexmora::meter {
namespace {

// Above the kernel's largest pid_max (2^22): anything larger is no pid.
constexpr long long kMaxPid = 4194304;
// The pid as text and a line feed; more than that is not what a meter wrote.
constexpr qsizetype kMaxPidText = 16;
// /proc/PID/cgroup names one line per hierarchy; the meter's match is short.
constexpr qint64 kMaxCgroupText = 64 * 1024;

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The pid the holder recorded; 0 when the file holds none of a living process
// (the holder has not written it yet, or the text is not a pid).
long long recordedPid(int fd)
{
    char text[kMaxPidText + 1] = {};
    const ssize_t length = ::pread(fd, text, kMaxPidText, 0);
    if (length <= 0)
        return 0;
    bool ok = false;
    const long long pid = QByteArray(text, int(length)).trimmed().toLongLong(&ok);
    if (!ok || pid <= 0 || pid > kMaxPid)
        return 0;
    return QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid)) ? pid : 0;
}

// Whether the process runs as the meter's systemd unit: its cgroup is the unit's.
bool runsAsMeterUnit(long long pid)
{
    QFile cgroup(QStringLiteral("/proc/%1/cgroup").arg(pid));
    if (!cgroup.open(QIODevice::ReadOnly))
        return false;
    const QByteArray unitSuffix = QByteArray("/") + bus::kMeterUnit;
    for (const QByteArray &line : cgroup.read(kMaxCgroupText).split('\n')) {
        if (line.endsWith(unitSuffix))
            return true;
    }
    return false;
}

QString heldMessage(const QString &path, long long pid)
{
    const QString directory = QFileInfo(path).path();
    const QString unitStop =
        QStringLiteral("systemctl stop ") +
        QString::fromLatin1(bus::kMeterUnit).remove(QStringLiteral(".service"));
    if (pid == 0) {
        return QStringLiteral("another meter already counts into ") + directory +
               QStringLiteral(" (it holds ") + path + QStringLiteral("); stop that one first (") +
               unitStop + QStringLiteral(" where the unit runs it)");
    }
    const QString stop = runsAsMeterUnit(pid) ? unitStop : QStringLiteral("kill %1").arg(pid);
    return QStringLiteral("another meter (pid %1) already counts into ").arg(pid) + directory +
           QStringLiteral("; stop that one first: ") + stop;
}

// Only for the message of a meter that finds the lock held: the lock holds without it.
void recordPid(int fd, const QString &path)
{
    const QByteArray text = QByteArray::number(qint64(::getpid())) + '\n';
    if (::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, text.constData(), size_t(text.size()), 0) != ssize_t(text.size())) {
        qWarning("Could not record the meter's pid in %s: %s", qPrintable(path),
                 qPrintable(systemError(errno)));
    }
}

} // namespace

StateLock::~StateLock()
{
    if (fd_ >= 0)
        ::close(fd_);
}

QString StateLock::acquire(const QString &path)
{
    QDir().mkpath(QFileInfo(path).path());
    const QByteArray name = QFile::encodeName(path);
    // Close-on-exec: a program the meter starts must not hold the lock past
    // it. Readable by root only: whoever can open the file can lock it.
    const int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY,
                          S_IRUSR | S_IWUSR);
    if (fd < 0)
        return QStringLiteral("cannot open ") + path + QStringLiteral(": ") + systemError(errno);
    struct stat status = {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return path + QStringLiteral(" is not a regular file");
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        const QString message =
            error == EWOULDBLOCK
                ? heldMessage(path, recordedPid(fd))
                : QStringLiteral("cannot lock ") + path + QStringLiteral(": ") + systemError(error);
        ::close(fd);
        return message;
    }
    recordPid(fd, path);
    fd_ = fd;
    return QString();
}

} // namespace vexmora::meter
