#pragma once

#include "socket_record.h"

#include <QByteArray>
#include <QString>
#include <memory>
#include <vector>

namespace vexmora::meter {

struct InterfaceCounters
{
    QByteArray name;
    int ifindex = 0; // changes when the interface is created anew; 0 when unknown
    ByteCounts bytes;
};

// The kernel's per-interface byte counters, what sysfs says about each
// interface and the boot they count in. The default reader takes the
// counters and indexes of the calling thread's network namespace from one
// netlink dump of its links (one request a sample, no file opened); a reader
// given a root directory reads /proc/net/dev and /sys/class/net/NAME/ifindex
// below it instead (tests replace those files).
class InterfaceReader
{
public:
    InterfaceReader();
    explicit InterfaceReader(QString root);
    ~InterfaceReader();
    InterfaceReader(InterfaceReader &&) noexcept;
    InterfaceReader &operator=(InterfaceReader &&) noexcept;

    // Every interface with its counters; false when they cannot be read. The
    // entries of `interfaces` are reused: a read that finds the same
    // interfaces as the last one allocates nothing.
    bool read(std::vector<InterfaceCounters> &interfaces);
    // Whether a device stands behind it: not loopback, a bridge, veth or tunnel.
    bool isPhysical(const QByteArray &name) const;
    // What the link carries a second in each direction, from the speed sysfs
    // reports for it; 0 when it reports none.
    quint64 linkBytesPerSecond(const QByteArray &name) const;
    // The kernel's id of the running boot; empty when it cannot be read.
    QByteArray bootId() const;

private:
    struct LinkDump;

    bool readFiles(std::vector<InterfaceCounters> &interfaces) const;
    QString sysPath(const QByteArray &name, const char *entry) const;

    QString root_;
    std::unique_ptr<LinkDump> links_; // the default reader's netlink socket
};

// The lines of /proc/net/dev after its two header lines.
std::vector<InterfaceCounters> parseNetDev(const QByteArray &text);

} // namespace vexmora::meter
