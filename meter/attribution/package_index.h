#pragma once

#include "package_filter_file.h"

#include <QDateTime>
#include <QHash>
#include <QString>
#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace vexmora::meter {

// Which Debian package installed a file, from dpkg's file lists
// (info/*.list). Of the lists only a filter of their lines' hashes (128 KiB,
// mapped from filterFile where one is given) is held in memory: a path it does not rule out is
// looked for in them when it is first asked about, and the answer is remembered (a bounded number
// of them) until dpkg's status file changes. On a merged-/usr system /bin, /sbin and /lib* are
// links into /usr while the lists may name either form, so both are tried. Where several lists name
// a path, the first by file name counts.
class PackageIndex
{
public:
    struct LoadStats
    {
        int lists = 0; // lists the last filter or search found
        int unreadableLists = 0;
        int searches = 0; // paths looked for in the lists
    };

    PackageIndex(QString infoDir, QString statusFile, QString filterFile = {});

    // Forgets the answers and builds the filter anew when the status file
    // changed since the last call (or on the first); true then.
    bool refresh();
    // Reads the database at other paths from now on: a container's, through
    // the root of another of its processes. The next refresh() tells whether
    // it is the same one.
    void relocate(QString infoDir, QString statusFile)
    {
        infoDir_ = std::move(infoDir);
        statusFile_ = std::move(statusFile);
    }
    // For a database that someone else controls (a container's): with more
    // lists than maxLists, or more than maxBytes in one reading of them, it
    // names nothing until its status file changes.
    void limitLists(std::size_t maxLists, qint64 maxBytes)
    {
        maxLists_ = maxLists;
        maxListBytes_ = maxBytes;
    }
    // The package that installed path (an absolute path); empty when none.
    QString packageOf(const QString &path) const;
    LoadStats stats() const { return stats_; }

private:
    // 2^20 bits: some 150,000 paths set about a third of them, so that 1 path
    // in 25 that no list names still needs a search.
    static constexpr std::size_t kFilterBits = std::size_t(1) << 20;
    static constexpr std::size_t kFilterWords = kFilterBits / 64;

    void buildFilter();
    std::vector<std::string> listNames() const;
    std::vector<quint64> readFilter(const std::vector<std::string> &lists) const;
    static std::array<std::size_t, 3> filterBits(quint64 hash);
    // False only when no list names the path.
    bool mayBeNamed(const QByteArray &path) const;
    QString search(const QByteArray &path, const QByteArray &alias) const;

    QString infoDir_;
    QString statusFile_;
    QString filterFile_;
    bool refreshed_ = false;
    QDateTime statusModified_;
    qint64 statusSize_ = -1;
    mutable QHash<QString, QString> answers_;
    // Bits set by every line of the lists: a path whose bits are not all set
    // is named by none, which a search would read every list to find out.
    // Null while the lists cannot be read.
    const quint64 *filter_ = nullptr;
    MappedFilter mapped_;        // the filter when it is in filterFile_
    std::vector<quint64> built_; // else
    mutable LoadStats stats_;
    std::size_t maxLists_ = 0; // 0: no limit
    qint64 maxListBytes_ = 0;  // 0: no limit
    mutable bool overLimit_ = false;
};

} // namespace vexmora::meter
