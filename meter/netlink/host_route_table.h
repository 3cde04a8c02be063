#pragma once

#include "netlink_dump.h"

#include <QtGlobal>
#include <array>
#include <vector>

namespace vexmora::meter {

// One route of the host's routing tables as a dump gives it.
struct HostRoute
{
    int family = 0;                       // AF_INET or AF_INET6
    std::array<quint8, 16> destination{}; // its first 4 bytes for IPv4
    quint8 bits = 0;                      // the destination's prefix length
    quint32 table = 0;                    // RT_TABLE_LOCAL holds the host's own addresses
    quint8 type = 0;                      // RTN_UNICAST, RTN_LOCAL, ...
    std::vector<int> devices;             // its output interfaces, every next hop's
};

// The route one RTM_NEWROUTE message describes; false for another message or
// one too short to be a route.
bool parseHostRoute(const nlmsghdr &message, HostRoute &route);

// Every IPv4 and IPv6 route of every table of the calling thread's network
// namespace. False with the reason when no whole dump came.
bool readHostRoutes(NetlinkDump &netlink, std::vector<HostRoute> &routes, QString *error);

} // namespace vexmora::meter
