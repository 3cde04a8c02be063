#pragma once

#include <QString>
#include <QtGlobal>
#include <cstddef>
#include <vector>

namespace vexmora::meter {

// The package filter kept in a file between runs, stamped with what it was
// built from: a start after an unchanged dpkg status maps it instead of
// reading every list again, and its pages are the kernel's file cache, not
// memory of the meter's own. The file is trusted only when its size, stamp
// and checksum all agree.
struct FilterStamp
{
    qint64 statusModifiedMs = 0;
    qint64 statusSize = -1;
    qint64 lists = 0; // dpkg's lists it was built from
};

class MappedFilter
{
public:
    MappedFilter() = default;
    ~MappedFilter();
    MappedFilter(const MappedFilter &) = delete;
    MappedFilter &operator=(const MappedFilter &) = delete;

    // Maps the file when it holds `words` words stamped `stamp`; false (and
    // nothing mapped) otherwise.
    bool map(const QString &path, const FilterStamp &stamp, std::size_t words);
    void unmap();
    const quint64 *words() const { return words_; }

private:
    void *mapping_ = nullptr;
    std::size_t bytes_ = 0;
    const quint64 *words_ = nullptr;
};

// Writes the filter and its stamp to path (atomically: a reader sees the old
// file or the new one); false when it cannot.
bool saveFilter(const QString &path, const FilterStamp &stamp, const std::vector<quint64> &words);

} // namespace vexmora::meter
