#pragma once

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>
#include <vector>

namespace vexmora::meter {

// Which process holds which socket inode, found through the links in
// /proc/PID/fd. The processes are scanned only when asked about an inode that
// is not known yet (or for a recheck). A scan goes from the newest process
// (the highest pid) to the oldest, since new sockets mostly belong to new
// processes, and stops once it has found every inode asked for; the known
// inodes it meets on the way get their owner refreshed. Where several
// processes hold one socket, the newest owns it.
class SocketOwners
{
public:
    explicit SocketOwners(const QString &procRoot);

    // Finds the owners of those inodes that are not known yet; true when it scanned.
    bool resolve(const std::vector<quint32> &inodes);
    // Scans again for these inodes, whose owners are known to be gone.
    void recheck(const std::vector<quint32> &inodes);
    // The owner's pid; 0 when unknown or no visible process holds the socket.
    qint64 ownerOf(quint32 inode) const { return owners_.value(inode); }
    bool isRunning(qint64 pid) const;
    void retainOnly(const QSet<quint32> &inodes);
    QSet<qint64> pids() const;

    quint64 scans() const { return scans_; }
    // Processes that exited between the listing of /proc and the scan of their fds.
    quint64 processesGoneMidScan() const { return goneMidScan_; }

private:
    void scan(const std::vector<quint32> &wanted);
    std::vector<qint64> listProcessesNewestFirst() const;
    void scanProcess(qint64 pid, QSet<quint32> &missing, QHash<quint32, qint64> &found);

    QByteArray procRoot_;
    QHash<quint32, qint64> owners_;
    quint64 scans_ = 0;
    quint64 goneMidScan_ = 0;
};

} // namespace vexmora::meter
