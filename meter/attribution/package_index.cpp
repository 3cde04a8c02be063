#include "package_index.h"

#include "package_list_reader.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <string>
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

// dpkg's lists in file name order, at most maxNames + 1 of them (0: all). The
// directory and file calls are used directly: a search goes through hundreds
// of lists, and QDir would stat each.
std::vector<std::string> listFileNames(const QString &infoDir, std::size_t maxNames)
{
    std::vector<std::string> names;
    DIR *dir = ::opendir(QFile::encodeName(infoDir).constData());
    if (!dir)
        return names;
    static constexpr char kSuffix[] = ".list";
    constexpr std::size_t kSuffixLength = sizeof kSuffix - 1;
    while (const dirent *entry = ::readdir(dir)) {
        if (maxNames != 0 && names.size() > maxNames)
            break;
        const std::size_t length = std::strlen(entry->d_name);
        if (entry->d_type != DT_DIR && length > kSuffixLength &&
            std::memcmp(entry->d_name + length - kSuffixLength, kSuffix, kSuffixLength) == 0)
            names.emplace_back(entry->d_name, length);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// FNV-1a: the filter's three bits of a path come from one 64-bit hash.
quint64 pathHash(const char *data, std::size_t size)
{
    quint64 hash = 14695981039346656037ull;
    for (std::size_t i = 0; i < size; ++i) {
        hash ^= quint8(data[i]);
        hash *= 1099511628211ull;
    }
    return hash;
}

bool sameText(const char *line, std::size_t length, const QByteArray &text)
{
    return !text.isEmpty() && length == std::size_t(text.size()) &&
           std::memcmp(line, text.constData(), length) == 0;
}

} // namespace

PackageIndex::PackageIndex(QString infoDir, QString statusFile, QString filterFile)
    : infoDir_(std::move(infoDir)), statusFile_(std::move(statusFile)),
      filterFile_(std::move(filterFile))
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
    buildFilter();
    return true;
}

QString PackageIndex::packageOf(const QString &path) const
{
    if (overLimit_)
        return {};
    const auto known = answers_.constFind(path);
    if (known != answers_.cend())
        return *known;
    const QByteArray encoded = QFile::encodeName(path);
    const QByteArray alias = usrMergeAlias(encoded);
    const bool named = mayBeNamed(encoded) || (!alias.isEmpty() && mayBeNamed(alias));
    const QString package = named ? search(encoded, alias) : QString();
    if (answers_.size() >= kMaxAnswers)
        answers_.clear();
    answers_.insert(path, package);
    return package;
}

// The filter of the file where it was built from the same status and lists,
// else built and kept there for the next start.
void PackageIndex::buildFilter()
{
    filter_ = nullptr;
    mapped_.unmap();
    built_.clear();
    built_.shrink_to_fit();
    const std::vector<std::string> lists = listNames();
    if (overLimit_)
        return;
    const FilterStamp stamp{statusModified_.toMSecsSinceEpoch(), statusSize_, qint64(lists.size())};
    const bool keep = !filterFile_.isEmpty() && statusSize_ >= 0;
    if (keep && mapped_.map(filterFile_, stamp, kFilterWords)) {
        filter_ = mapped_.words();
        return;
    }
    std::vector<quint64> filter = readFilter(lists);
    if (filter.empty())
        return;
    if (keep && saveFilter(filterFile_, stamp, filter) &&
        mapped_.map(filterFile_, stamp, kFilterWords)) {
        filter_ = mapped_.words();
        return;
    }
    built_ = std::move(filter);
    filter_ = built_.data();
}

// None of them beyond the number allowed, and then the database names nothing.
std::vector<std::string> PackageIndex::listNames() const
{
    std::vector<std::string> lists = listFileNames(infoDir_, maxLists_);
    stats_.lists = int(lists.size());
    overLimit_ = maxLists_ != 0 && lists.size() > maxLists_;
    if (overLimit_)
        lists.clear();
    return lists;
}

// Three bits for each line of every list; empty where a list cannot be read:
// any path may be named then.
std::vector<quint64> PackageIndex::readFilter(const std::vector<std::string> &lists) const
{
    ListReader reader(infoDir_, maxListBytes_);
    if (!reader.ok())
        return {};
    std::vector<quint64> filter(kFilterWords, 0);
    for (const std::string &name : lists) {
        const bool read = reader.eachLine(name.c_str(), [&](const char *line, std::size_t length) {
            for (const std::size_t bit : filterBits(pathHash(line, length)))
                filter[bit / 64] |= quint64(1) << (bit % 64);
            return false;
        });
        if (!read) {
            overLimit_ = reader.overLimit();
            return {};
        }
    }
    return filter;
}

std::array<std::size_t, 3> PackageIndex::filterBits(quint64 hash)
{
    return {std::size_t(hash % kFilterBits), std::size_t((hash >> 21) % kFilterBits),
            std::size_t((hash >> 42) % kFilterBits)};
}

bool PackageIndex::mayBeNamed(const QByteArray &path) const
{
    if (!filter_)
        return true;
    for (const std::size_t bit : filterBits(pathHash(path.constData(), std::size_t(path.size()))))
        if (!(filter_[bit / 64] & (quint64(1) << (bit % 64))))
            return false;
    return true;
}

// The path's own name wins over its alias, in whichever list each is named.
QString PackageIndex::search(const QByteArray &path, const QByteArray &alias) const
{
    ++stats_.searches;
    if (path.size() > int(ListReader::kMaxPath))
        return {};
    const std::vector<std::string> lists = listNames();
    stats_.unreadableLists = 0;
    ListReader reader(infoDir_, maxListBytes_);
    if (!reader.ok() || overLimit_)
        return {};
    QString aliasPackage;
    for (const std::string &name : lists) {
        const QByteArray &other = aliasPackage.isEmpty() ? alias : QByteArray();
        bool own = false;
        bool aliased = false;
        if (!reader.eachLine(name.c_str(), [&](const char *line, std::size_t length) {
                own = sameText(line, length, path);
                aliased = aliased || sameText(line, length, other);
                return own;
            }))
            ++stats_.unreadableLists;
        overLimit_ = reader.overLimit();
        if (overLimit_)
            return {};
        if (own)
            return packageName(QFile::decodeName(name.c_str()));
        if (aliased)
            aliasPackage = packageName(QFile::decodeName(name.c_str()));
    }
    return aliasPackage;
}

} // namespace vexmora::meter
