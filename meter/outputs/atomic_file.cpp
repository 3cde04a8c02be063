#include "atomic_file.h"

#include <QDebug>
#include <QFile>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vexmora::meter {
namespace {

bool writeAll(int fd, const QByteArray &content)
{
    qint64 done = 0;
    while (done < content.size()) {
        const ssize_t written =
            ::write(fd, content.constData() + done, size_t(content.size() - done));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        done += written;
    }
    return true;
}

bool fail(const QString &path, const char *step)
{
    qWarning().noquote() << "Cannot write" << path << "-" << step
                         << QString::fromLocal8Bit(std::strerror(errno));
    return false;
}

// The new file takes the old one's name in one step: exchanged with it, then
// the old one removed. A rename over it would do the same, but ext4 then
// starts writing the new file's data to disk at once (auto_da_alloc), a cost
// on every snapshot; exchanged, a file replaced again within half a minute
// usually never reaches the disk at all. Where there is nothing to exchange with yet, or the
// filesystem cannot exchange, it is renamed.
bool takeName(const char *temporary, const char *target)
{
    if (::renameat2(AT_FDCWD, temporary, AT_FDCWD, target, RENAME_EXCHANGE) == 0) {
        ::unlink(temporary); // the old content; left behind only if this fails
        return true;
    }
    return ::rename(temporary, target) == 0;
}

} // namespace

// Not synced to disk: the files are rewritten every few seconds and their
// readers need a whole file at any moment, which the exchange gives, not one
// that outlives a power cut.
bool replaceFileAtomically(const QString &path, const QByteArray &content)
{
    const QByteArray target = QFile::encodeName(path);
    QByteArray temporary = target + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return fail(path, "creating a temporary file:");
    }
    const bool written = writeAll(fd, content) && ::fchmod(fd, 0644) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || !takeName(temporary.constData(), target.constData())) {
        const int error = errno;
        ::unlink(temporary.constData());
        errno = error;
        return fail(path, "");
    }
    return true;
}

} // namespace vexmora::meter
