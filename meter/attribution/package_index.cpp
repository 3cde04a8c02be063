#include "package_index.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cstring>
#include <malloc.h>

namespace vexmora::meter {

namespace {

// FNV-1a: with ~150,000 paths a 64-bit hash makes a collision improbable
// (about 1 in 10^9), unlike the 32-bit qHash.
quint64 pathHash(const char *data, int size)
{
    quint64 hash = 14695981039346656037ull;
    for (int i = 0; i < size; ++i) {
        hash ^= quint8(data[i]);
        hash *= 1099511628211ull;
    }
    return hash;
}

quint64 pathHash(const QByteArray &path)
{
    return pathHash(path.constData(), path.size());
}

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

} // namespace

PackageIndex::PackageIndex(QString infoDir, QString statusFile)
    : infoDir_(std::move(infoDir)), statusFile_(std::move(statusFile))
{}

bool PackageIndex::refresh()
{
    const QFileInfo status(statusFile_);
    const QDateTime modified = status.lastModified();
    const qint64 size = status.exists() ? status.size() : -1;
    if (loaded_ && modified == statusModified_ && size == statusSize_)
        return false;
    statusModified_ = modified;
    statusSize_ = size;
    load();
    return true;
}

QString PackageIndex::packageOf(const QString &path) const
{
    const QByteArray encoded = QFile::encodeName(path);
    int package = packageAt(pathHash(encoded));
    const QByteArray alias = usrMergeAlias(encoded);
    if (package < 0 && !alias.isEmpty())
        package = packageAt(pathHash(alias));
    return package < 0 ? QString() : packages_.at(package);
}

void PackageIndex::load()
{
    loaded_ = true;
    stats_ = {};
    packages_.clear();
    paths_.clear();
    const QStringList lists = QDir(infoDir_).entryList({QStringLiteral("*.list")}, QDir::Files);
    for (const QString &fileName : lists)
        loadList(fileName);
    std::stable_sort(paths_.begin(), paths_.end(),
                     [](const PathEntry &a, const PathEntry &b) { return a.hash < b.hash; });
    paths_.shrink_to_fit();
    malloc_trim(0);
}

void PackageIndex::loadList(const QString &fileName)
{
    ++stats_.lists;
    QFile list(infoDir_ + QLatin1Char('/') + fileName);
    if (!list.open(QIODevice::ReadOnly)) {
        ++stats_.unreadableLists;
        return;
    }
    const QByteArray content = list.readAll();
    const int package = packages_.size();
    packages_.append(packageName(fileName));
    int lineStart = 0;
    while (lineStart < content.size()) {
        int lineEnd = content.indexOf('\n', lineStart);
        if (lineEnd < 0)
            lineEnd = content.size();
        const char *line = content.constData() + lineStart;
        const int length = lineEnd - lineStart;
        if (length > 0 && line[0] == '/' && !std::memchr(line, '\0', std::size_t(length)))
            paths_.push_back(PathEntry{pathHash(line, length), quint32(package)});
        else if (length > 0)
            ++stats_.rejectedLines;
        lineStart = lineEnd + 1;
    }
}

int PackageIndex::packageAt(quint64 hash) const
{
    const auto it =
        std::lower_bound(paths_.begin(), paths_.end(), hash,
                         [](const PathEntry &entry, quint64 h) { return entry.hash < h; });
    return it != paths_.end() && it->hash == hash ? int(it->package) : -1;
}

} // namespace vexmora::meter
