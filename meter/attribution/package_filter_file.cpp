#include "package_filter_file.h"

#include <QFile>
#include <QSaveFile>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vexmora::meter {

namespace {

constexpr char kMagic[8] = {'v', 'x', 'p', 'k', 'g', 'f', '1', '\n'};

// Written on this host for this host: native byte order. The words start
// at a multiple of 64 bytes.
struct FilterHeader
{
    char magic[8];
    qint64 statusModifiedMs;
    qint64 statusSize;
    qint64 lists;
    quint64 words;
    quint64 checksum;
    char pad[16];
};
static_assert(sizeof(FilterHeader) == 64, "the words start at byte 64");

quint64 checksumOf(const quint64 *words, std::size_t count)
{
    quint64 sum = 14695981039346656037ull;
    for (std::size_t i = 0; i < count; ++i) {
        sum ^= words[i];
        sum *= 1099511628211ull;
        sum ^= sum >> 29;
    }
    return sum;
}

FilterHeader headerFor(const FilterStamp &stamp, const quint64 *words, std::size_t count)
{
    FilterHeader header{};
    std::memcpy(header.magic, kMagic, sizeof kMagic);
    header.statusModifiedMs = stamp.statusModifiedMs;
    header.statusSize = stamp.statusSize;
    header.lists = stamp.lists;
    header.words = count;
    header.checksum = checksumOf(words, count);
    return header;
}

bool sameHeader(const FilterHeader &a, const FilterHeader &b)
{
    return std::memcmp(a.magic, b.magic, sizeof a.magic) == 0 &&
           a.statusModifiedMs == b.statusModifiedMs && a.statusSize == b.statusSize &&
           a.lists == b.lists && a.words == b.words && a.checksum == b.checksum;
}

} // namespace

MappedFilter::~MappedFilter()
{
    unmap();
}

void MappedFilter::unmap()
{
    if (mapping_)
        ::munmap(mapping_, bytes_);
    mapping_ = nullptr;
    words_ = nullptr;
    bytes_ = 0;
}

bool MappedFilter::map(const QString &path, const FilterStamp &stamp, std::size_t words)
{
    unmap();
    const std::size_t bytes = sizeof(FilterHeader) + words * sizeof(quint64);
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat file
    {
    };
    void *mapping = MAP_FAILED;
    if (::fstat(fd, &file) == 0 && S_ISREG(file.st_mode) && file.st_size == off_t(bytes))
        mapping = ::mmap(nullptr, bytes, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (mapping == MAP_FAILED)
        return false;
    const auto *stored = static_cast<const FilterHeader *>(mapping);
    const auto *bits = reinterpret_cast<const quint64 *>(stored + 1);
    if (!sameHeader(*stored, headerFor(stamp, bits, words))) {
        ::munmap(mapping, bytes);
        return false;
    }
    mapping_ = mapping;
    bytes_ = bytes;
    words_ = bits;
    return true;
}

bool saveFilter(const QString &path, const FilterStamp &stamp, const std::vector<quint64> &words)
{
    const FilterHeader header = headerFor(stamp, words.data(), words.size());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const qint64 wordBytes = qint64(words.size() * sizeof(quint64));
    return file.write(reinterpret_cast<const char *>(&header), sizeof header) ==
               qint64(sizeof header) &&
           file.write(reinterpret_cast<const char *>(words.data()), wordBytes) == wordBytes &&
           file.commit();
}

} // namespace vexmora::meter
