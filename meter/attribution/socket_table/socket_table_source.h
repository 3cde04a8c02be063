// socket_table/: the source that reads each TCP socket's counters from the socket table.
// May use the attribution's shared rules and sock_diag/; never the kernel programs.
#pragma once

#include "sampled_source.h"

#include <memory>

namespace vexmora::meter {

// Each TCP socket's counters (IPv4 and IPv6) from the kernel's socket table,
// read at every sample through the socket diagnostics; a socket that closes
// between two samples gives its final counts in a destroy message, matched to
// the socket by its cookie. The owner is the inode a process holds.
//
// The bytes are what the segments put on the wire, estimated from tcp_info:
// the payload plus, for every segment, the IP and TCP headers (the timestamp
// option when the connection uses it) and one Ethernet header.
//
// Not counted: UDP and other protocols (no per-socket counters), listening
// sockets, connections whose both ends are this host's addresses, and a
// connection whose whole life falls between two samples is counted but has no
// inode to find an owner by, unless a listening socket of this host accepted it.
class SocketTableSource : public SampledSource
{
public:
    SocketTableSource();
    ~SocketTableSource() override;
    SocketTableSource(const SocketTableSource &) = delete;
    SocketTableSource &operator=(const SocketTableSource &) = delete;

    // The receive buffer asked for the destroy messages (before open()).
    void setDestroyBufferBytes(int bytes);

    QString name() const override;
    bool open(QString *error) override;
    int notificationFd() const override;
    void readNotifications() override;
    void ownersInUse(QSet<quint32> &inodes, QSet<qint64> &pids) const override;
    QString finalCountsRemedy() const override;

protected:
    bool readLive(QString *error) override;
    SourceSample takeSample() override;
    void addOwnHealth(AttributionHealth &health) const override;

private:
    struct Parts;
    std::unique_ptr<Parts> d;
};

} // namespace vexmora::meter
