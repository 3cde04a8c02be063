#include "package_index.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace vexmora::meter {

namespace {

// Answers remembered at most: far more programs than a host runs at once.
constexpr int kMaxAnswers = 1024;

// "libfoo1:amd64.list" -> "libfoo1"
QString packageName(const QString &listFileName)
{
    const QString base = listFileName.chopped(int(sizeof(".list") - 1));
    return base.section(QLatin1Char(':'), 0, 0);
}

// The other name of a path under a merged /usr, or an empty string.
QByteArray usrMergeAlias(const QByteArray &path)
{
    static const QByteArray kMerged[] = {"/bin/",   "/sbin/",  "/lib/",
                                         "/lib32/", "/lib64/", "/libx32/"};
    for (const QByteArray &dir : kMerged) {
        if (path.startsWith(dir))
            return "/usr" + path;
        if (path.startsWith("/usr" + dir))
            return path.mid(4);
    }
    return {};
}

// dpkg's lists in file name order. The directory and file calls are used
// directly: a search goes through hundreds of lists, and QDir would stat each.
std::vector<std::string> listFileNames(const QString &infoDir)
{
    std::vector<std::string> names;
    DIR *dir = ::opendir(QFile::encodeName(infoDir).constData());
    if (!dir)
        return names;
    static constexpr char kSuffix[] = ".list";
    constexpr std::size_t kSuffixLength = sizeof kSuffix - 1;
    while (const dirent *entry = ::readdir(dir)) {
        const std::size_t length = std::strlen(entry->d_name);
        if (entry->d_type != DT_DIR && length > kSuffixLength &&
            std::memcmp(entry->d_name + length - kSuffixLength, kSuffix, kSuffixLength) == 0)
            names.emplace_back(entry->d_name, length);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// Reads a list piece by piece into a buffer it does not own and tells whether
// one of its lines is exactly `line` (at most kMaxPath bytes) or `other`.
class ListReader
{
public:
    static constexpr std::size_t kMaxPath = 4096;
    static constexpr std::size_t kBufferBytes = 16 * kMaxPath;
    enum Found { Neither, Line, Other };

    explicit ListReader(char *buffer) : buffer_(buffer) {}

    // False when the list cannot be read.
    bool search(int dirFd, const char *name, const QByteArray &line, const QByteArray &other,
                Found &found)
    {
        found = Neither;
        const int fd = ::openat(dirFd, name, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        std::size_t held = 0;
        bool skipping = false; // inside a line too long to be a path
        for (;;) {
            const ssize_t got = ::read(fd, buffer_ + held, kBufferBytes - held);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0) {
                ::close(fd);
                return false;
            }
            held += std::size_t(got);
            const bool atEnd = got == 0;
            std::size_t used = scan(held, atEnd, line, other, skipping, found);
            if (found == Line || atEnd)
                break;
            if (used == 0 && held == kBufferBytes) { // no line ends in a full buffer
                skipping = true;
                used = held;
            }
            std::memmove(buffer_, buffer_ + used, held - used);
            held -= used;
        }
        ::close(fd);
        return true;
    }

private:
    // The bytes of complete lines (all of them at the end), which it compares.
    std::size_t scan(std::size_t held, bool atEnd, const QByteArray &line, const QByteArray &other,
                     bool &skipping, Found &found) const
    {
        std::size_t start = 0;
        while (start < held) {
            const auto *newline =
                static_cast<const char *>(std::memchr(buffer_ + start, '\n', held - start));
            if (!newline && !atEnd)
                return start;
            const std::size_t end = newline ? std::size_t(newline - buffer_) : held;
            if (!skipping) {
                if (equals(start, end, line)) {
                    found = Line;
                    return held;
                }
                if (found == Neither && equals(start, end, other))
                    found = Other;
            }
            skipping = false;
            start = end + 1;
        }
        return held;
    }
    // Lines are compared by length first: they share their beginnings (/usr/...).
    bool equals(std::size_t start, std::size_t end, const QByteArray &text) const
    {
        return !text.isEmpty() && end - start == std::size_t(text.size()) &&
               std::memcmp(buffer_ + start, text.constData(), end - start) == 0;
    }

    char *buffer_;
};

} // namespace

PackageIndex::PackageIndex(QString infoDir, QString statusFile)
    : infoDir_(std::move(infoDir)), statusFile_(std::move(statusFile))
{}

bool PackageIndex::refresh()
{
    const QFileInfo status(statusFile_);
    const QDateTime modified = status.lastModified();
    const qint64 size = status.exists() ? status.size() : -1;
    if (refreshed_ && modified == statusModified_ && size == statusSize_)
        return false;
    refreshed_ = true;
    statusModified_ = modified;
    statusSize_ = size;
    answers_.clear();
    answers_.squeeze();
    return true;
}

QString PackageIndex::packageOf(const QString &path) const
{
    const auto known = answers_.constFind(path);
    if (known != answers_.cend())
        return *known;
    const QByteArray encoded = QFile::encodeName(path);
    const QString package = search(encoded, usrMergeAlias(encoded));
    if (answers_.size() >= kMaxAnswers)
        answers_.clear();
    answers_.insert(path, package);
    return package;
}

// The path's own name wins over its alias, in whichever list each is named.
QString PackageIndex::search(const QByteArray &path, const QByteArray &alias) const
{
    ++stats_.searches;
    if (path.size() > int(ListReader::kMaxPath))
        return {};
    const std::vector<std::string> lists = listFileNames(infoDir_);
    stats_.lists = int(lists.size());
    stats_.unreadableLists = 0;
    const int dirFd =
        ::open(QFile::encodeName(infoDir_).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // Mapped for the search alone: heap would stay with the process.
    void *buffer = ::mmap(nullptr, ListReader::kBufferBytes, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    QString package;
    QString aliasPackage;
    if (dirFd >= 0 && buffer != MAP_FAILED) {
        ListReader reader(static_cast<char *>(buffer));
        for (const std::string &name : lists) {
            ListReader::Found found = ListReader::Neither;
            if (!reader.search(dirFd, name.c_str(), path,
                               aliasPackage.isEmpty() ? alias : QByteArray(), found))
                ++stats_.unreadableLists;
            const QString listPackage = found == ListReader::Neither
                                            ? QString()
                                            : packageName(QFile::decodeName(name.c_str()));
            if (found == ListReader::Line) {
                package = listPackage;
                break;
            }
            if (found == ListReader::Other)
                aliasPackage = listPackage;
        }
    }
    if (buffer != MAP_FAILED)
        ::munmap(buffer, ListReader::kBufferBytes);
    if (dirFd >= 0)
        ::close(dirFd);
    return package.isEmpty() ? aliasPackage : package;
}

} // namespace vexmora::meter
