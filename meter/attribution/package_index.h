#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <utility>
#include <vector>

namespace vexmora::meter {

// Which Debian package installed a file, from dpkg's file lists
// (info/*.list). The lists are loaded once and loaded again when dpkg's
// status file changes. On a merged-/usr system /bin, /sbin and /lib* are
// links into /usr while the lists may name either form, so both are tried.
//
// A path is kept as a 64-bit hash, not as text: the lists name some 150,000
// files, and the hashes take a tenth of the memory the paths would. The heap
// that loading them took is given back to the system afterwards.
class PackageIndex
{
public:
    struct LoadStats
    {
        int lists = 0;
        int unreadableLists = 0;
        int rejectedLines = 0; // not an absolute path: the list did not parse there
    };

    PackageIndex(QString infoDir, QString statusFile);

    // Loads the lists when never loaded or when the status file changed;
    // true when it loaded them.
    bool refresh();
    // The package that installed path (an absolute path); empty when none.
    QString packageOf(const QString &path) const;
    LoadStats stats() const { return stats_; }

private:
    void load();
    void loadList(const QString &fileName);
    int packageAt(quint64 pathHash) const;

    QString infoDir_;
    QString statusFile_;
    bool loaded_ = false;
    QDateTime statusModified_;
    qint64 statusSize_ = -1;
    // 12 bytes a path rather than 16.
    struct __attribute__((packed, aligned(4))) PathEntry
    {
        quint64 hash;
        quint32 package;
    };

    QStringList packages_;
    std::vector<PathEntry> paths_; // sorted by hash
    LoadStats stats_;
};

} // namespace vexmora::meter
