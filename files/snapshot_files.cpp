#include "snapshot_files.h"

#include "text_codec.h"

#include <QByteArray>
#include <QDebug>
#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vexmora::files {
namespace {

const QString kEmptySnapshot = QStringLiteral("[]");

class FileDescriptor
{
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor()
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Reads the file into `bytes`, sized for the `expected` bytes that fstat()
// reported and one more, and growing up to limit + 1 bytes, so that a file
// that grew past the limit after fstat() is still recognised as too large.
bool readUpTo(int fd, qint64 expected, qint64 limit, QByteArray &bytes)
{
    qint64 size = 0;
    bytes.resize(static_cast<int>(std::min(expected, limit) + 1));
    for (;;) {
        if (size == bytes.size()) {
            if (size > limit) {
                return true;
            }
            bytes.resize(static_cast<int>(std::min(size * 2, limit + 1)));
        }
        const ssize_t count =
            ::read(fd, bytes.data() + size, static_cast<size_t>(bytes.size() - size));
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            bytes.truncate(static_cast<int>(size));
            return count == 0;
        }
        size += count;
    }
}

// Decoded as a text-mode read decodes it: carriage returns dropped, a leading
// byte-order mark skipped (by the codec); UTF-8 whatever the locale says.
QString decodeText(QByteArray bytes)
{
    if (std::memchr(bytes.constData(), '\r', static_cast<size_t>(bytes.size())) != nullptr) {
        bytes.truncate(
            static_cast<int>(std::remove(bytes.begin(), bytes.end(), '\r') - bytes.begin()));
    }
    return utf8Codec()->toUnicode(bytes);
}

QString refuse(const char *path, const char *reason)
{
    qDebug().nospace() << "Snapshot " << path << " not served: " << reason;
    return kEmptySnapshot;
}

} // namespace

QString readSnapshot(const char *path)
{
    // O_NONBLOCK: a FIFO at the path must not stall the service's only thread.
    const FileDescriptor file(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (file.get() < 0) {
        qDebug("Failed to open file");
        return kEmptySnapshot;
    }
    struct stat status
    {
    };
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return refuse(path, "not a regular file");
    }
    if (status.st_size > kMaxSnapshotBytes) {
        return refuse(path, "larger than the reply limit");
    }
    QByteArray bytes;
    if (!readUpTo(file.get(), status.st_size, kMaxSnapshotBytes, bytes)) {
        return refuse(path, "read error");
    }
    if (bytes.size() > kMaxSnapshotBytes) {
        return refuse(path, "larger than the reply limit");
    }
    // A D-Bus string ends at the first NUL; the client would get a cut text.
    if (std::memchr(bytes.constData(), '\0', static_cast<size_t>(bytes.size())) != nullptr) {
        return refuse(path, "holds a NUL byte");
    }
    return decodeText(std::move(bytes));
}

} // namespace vexmora::files
