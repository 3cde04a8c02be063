#pragma once

#include <QDateTime>
#include <QHash>
#include <QString>

namespace vexmora::meter {

// Which Debian package installed a file, from dpkg's file lists
// (info/*.list). Nothing of the lists is held in memory: a path is looked
// for in them when it is first asked about, and the answer is remembered
// (a bounded number of them) until dpkg's status file changes. On a
// merged-/usr system /bin, /sbin and /lib* are links into /usr while the lists
// may name either form, so both are tried. Where several lists name a path,
// the first by file name counts.
class PackageIndex
{
public:
    struct LoadStats
    {
        int lists = 0; // lists the last search found
        int unreadableLists = 0;
        int searches = 0; // paths looked for in the lists
    };

    PackageIndex(QString infoDir, QString statusFile);

    // Forgets the answers when the status file changed since the last call
    // (or on the first); true then.
    bool refresh();
    // The package that installed path (an absolute path); empty when none.
    QString packageOf(const QString &path) const;
    LoadStats stats() const { return stats_; }

private:
    QString search(const QByteArray &path, const QByteArray &alias) const;

    QString infoDir_;
    QString statusFile_;
    bool refreshed_ = false;
    QDateTime statusModified_;
    qint64 statusSize_ = -1;
    mutable QHash<QString, QString> answers_;
    mutable LoadStats stats_;
};

} // namespace vexmora::meter
