#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <array>

namespace vexmora::meter {

struct ByteCounts
{
    quint64 recv = 0;
    quint64 sent = 0;

    bool isZero() const { return recv == 0 && sent == 0; }
    quint64 total() const { return recv + sent; }
    ByteCounts &operator+=(const ByteCounts &other)
    {
        recv += other.recv;
        sent += other.sent;
        return *this;
    }
};

// A prefix of the host's routes, IPv4 as IPv4-mapped IPv6 (::ffff:0:0/96), and
// whether the host keeps the traffic to it (its own addresses, its bridges and
// the containers behind them) rather than routing it through a counted
// interface.
struct RoutePrefix
{
    std::array<quint8, 16> address{};
    quint8 bits = 0;
    bool staysOnHost = false;
};

// Whose a socket is, as far as the source of its counts knows: a process the
// kernel recorded, or an inode that some process holds in /proc/PID/fd.
struct SocketOwner
{
    qint64 pid = 0;    // 0: not recorded, look for the inode's holder
    quint32 inode = 0; // 0 with pid 0: no process is known
    // The process name recorded with pid, for a process that ended before its
    // /proc entry was read.
    QByteArray comm;

    bool isKnown() const { return pid != 0 || inode != 0; }
};

// Bytes one socket moved since they were last taken, and whose they are.
struct SocketBytes
{
    SocketOwner owner;
    bool held = false; // still held by a process: worth looking for another holder
    ByteCounts bytes;
};

} // namespace vexmora::meter
