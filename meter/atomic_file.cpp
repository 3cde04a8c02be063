#include "atomic_file.h"

#include <QDebug>
#include <QFile>
#include <cerrno>
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

} // namespace

// Not synced to disk: the files are rewritten every few seconds and their
// readers need a whole file at any moment, which the rename gives, not one
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
    if (!written || !closed || ::rename(temporary.constData(), target.constData()) != 0) {
        const int error = errno;
        ::unlink(temporary.constData());
        errno = error;
        return fail(path, "");
    }
    return true;
}

} // namespace vexmora::meter
