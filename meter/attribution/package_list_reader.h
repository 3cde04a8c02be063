// Reading dpkg's file lists line by line (package_index.cpp).
#pragma once

#include <QFile>
#include <QString>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace vexmora::meter {

// dpkg's info directory opened for reading its lists piece by piece through
// one buffer, mapped for the reading alone: heap would stay with the process.
class ListReader
{
public:
    static constexpr std::size_t kMaxPath = 4096;
    static constexpr std::size_t kBufferBytes = 16 * kMaxPath;

    // maxBytes: what the reader reads at most, all lists together (0: no limit).
    ListReader(const QString &infoDir, qint64 maxBytes)
        : bytesLeft_(maxBytes), limited_(maxBytes > 0),
          dirFd_(
              ::open(QFile::encodeName(infoDir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
          buffer_(::mmap(nullptr, kBufferBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                         -1, 0))
    {}
    ~ListReader()
    {
        if (buffer_ != MAP_FAILED)
            ::munmap(buffer_, kBufferBytes);
        if (dirFd_ >= 0)
            ::close(dirFd_);
    }
    ListReader(const ListReader &) = delete;
    ListReader &operator=(const ListReader &) = delete;

    bool ok() const { return dirFd_ >= 0 && buffer_ != MAP_FAILED; }
    bool overLimit() const { return limited_ && bytesLeft_ < 0; }

    // Calls visit(line, length) for each line of the list (lines too long to
    // be a path skipped) until it returns true; false when the list cannot be read.
    template <typename Visit> bool eachLine(const char *name, Visit visit)
    {
        char *const buffer = static_cast<char *>(buffer_);
        const int fd = ::openat(dirFd_, name, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        std::size_t held = 0;
        bool skipping = false; // inside a line too long to be a path
        bool stop = false;
        for (;;) {
            const ssize_t got = ::read(fd, buffer + held, kBufferBytes - held);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0 || (limited_ && (bytesLeft_ -= got) < 0)) {
                ::close(fd);
                return false;
            }
            held += std::size_t(got);
            const bool atEnd = got == 0;
            std::size_t used = 0; // the bytes of the complete lines visited
            while (used < held && !stop) {
                const auto *newline =
                    static_cast<const char *>(std::memchr(buffer + used, '\n', held - used));
                if (!newline && !atEnd)
                    break;
                const std::size_t end = newline ? std::size_t(newline - buffer) : held;
                if (!skipping)
                    stop = visit(buffer + used, end - used);
                skipping = false;
                used = end + 1;
            }
            if (stop || atEnd)
                break;
            if (used == 0 && held == kBufferBytes) { // no line ends in a full buffer
                skipping = true;
                used = held;
            }
            std::memmove(buffer, buffer + used, held - used);
            held -= used;
        }
        ::close(fd);
        return true;
    }

private:
    qint64 bytesLeft_;
    bool limited_;
    int dirFd_;
    void *buffer_;
};

} // namespace vexmora::meter
