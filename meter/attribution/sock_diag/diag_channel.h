// sock_diag/: the kernel's socket diagnostics over netlink: dumps, destroy messages, inodes.
// May use the attribution's socket records and netlink/; both sources and the meter use it.
#pragma once

#include "diag_parser.h"
#include "netlink_dump.h"

#include <QString>
#include <vector>

namespace vexmora::meter {

// The kernel side of the socket diagnostics: one netlink socket for dumps of
// the TCP sockets, one subscribed to the TCP destroy groups (IPv4 and IPv6),
// both in the network namespace of the thread that opens them.
class DiagChannel
{
public:
    DiagChannel();
    ~DiagChannel();
    DiagChannel(const DiagChannel &) = delete;
    DiagChannel &operator=(const DiagChannel &) = delete;

    bool open(int destroyBufferBytes, QString *error);
    // The dump socket alone, for dumps without destroy messages.
    bool openForDumps(QString *error);
    void close();
    int destroyFd() const { return destroyFd_; }

    // All TCP sockets of both families but those in TIME_WAIT (which have no
    // owner and no counters) and in SYN_RECV (asking for those also dumps the
    // half-open connection requests, which have neither), with their tcp_info.
    bool dumpTcp(DiagBatch &batch, QString *error);
    // Every socket of one protocol and family, in any state, without tcp_info.
    bool dumpAll(quint8 family, quint8 protocol, DiagBatch &batch, QString *error);

    // Reads the destroy messages waiting on the destroy socket without
    // blocking; returns how often the kernel reported dropped ones (ENOBUFS).
    quint64 readDestroyed(DiagBatch &batch);

private:
    bool dump(nlmsghdr &request, const char *what, DiagBatch &batch, QString *error);

    NetlinkDump dumps_;
    int destroyFd_ = -1;
    std::vector<char> buffer_;
};

} // namespace vexmora::meter
