#pragma once

#include "attribution_types.h"

#include <QString>
#include <memory>
#include <vector>

namespace vexmora::meter {

// Attributes the host's TCP traffic (IPv4 and IPv6) to processes and
// applications, in the network namespace of the thread that calls open();
// sample() reads the interface addresses of the caller's namespace, so call
// it from the same one.
//
// The kernel's socket diagnostics give each socket's payload byte counters
// (tcp_info); a socket that closes between two samples gives its final counts
// in a destroy message, matched to the socket by its cookie. A socket's owner
// is the process holding its inode in /proc/PID/fd, looked up when the socket
// is first seen: a sample without new sockets scans no fd directory, it only
// checks that the owners of sockets with traffic still exist.
//
// Not counted: listening sockets and connections whose both ends are this
// host's addresses. Bytes whose owner cannot be found go to kUnattributed.
class SocketAttribution
{
public:
    explicit SocketAttribution(AttributionSources sources = {});
    ~SocketAttribution();
    SocketAttribution(const SocketAttribution &) = delete;
    SocketAttribution &operator=(const SocketAttribution &) = delete;

    // The receive buffer asked for the destroy messages (before open()).
    void setDestroyBufferBytes(int bytes);
    // Opens the netlink sockets (dump and destroy groups) and takes the
    // baseline: traffic counts from here on. False with a reason when it cannot.
    bool open(QString *error);
    // The destroy-group socket, to be watched with a QSocketNotifier so destroy
    // messages are read as they come between samples; -1 before open().
    int destroyNotificationFd() const;
    void readDestroyNotifications();
    // One sample: dump, match, attribute. Increments per process since the previous call.
    std::vector<ProcessTraffic> sample();
    // Overflows (ENOBUFS) of the destroy socket since open(): each dropped one
    // or more destroy messages, so the last bytes of those sockets could not be
    // attributed. health().vanishedSockets counts the tracked sockets concerned.
    quint64 lostNotifications() const;
    AttributionHealth health() const;

private:
    struct Parts;
    std::unique_ptr<Parts> d;
};

} // namespace vexmora::meter
