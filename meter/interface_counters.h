#pragma once

#include "socket_record.h"

#include <QByteArray>
#include <QString>
#include <vector>

namespace vexmora::meter {

struct InterfaceCounters
{
    QByteArray name;
    ByteCounts bytes;
};

// The kernel's per-interface byte counters (/proc/net/dev), what sysfs says
// about each interface and the boot they count in, below a root directory
// that tests replace.
class InterfaceReader
{
public:
    explicit InterfaceReader(QString root = QString());

    // Every interface with its counters; false when the file cannot be read.
    bool read(std::vector<InterfaceCounters> &interfaces) const;
    // The interface's index, which changes when it is created anew; 0 when unknown.
    int ifindex(const QByteArray &name) const;
    // Whether a device stands behind it: not loopback, a bridge, veth or tunnel.
    bool isPhysical(const QByteArray &name) const;
    // The kernel's id of the running boot; empty when it cannot be read.
    QByteArray bootId() const;

private:
    QString sysPath(const QByteArray &name, const char *entry) const;

    QString root_;
};

// The lines of /proc/net/dev after its two header lines.
std::vector<InterfaceCounters> parseNetDev(const QByteArray &text);

} // namespace vexmora::meter
