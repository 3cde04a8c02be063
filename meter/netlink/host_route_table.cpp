#include "host_route_table.h"

#include <algorithm>
#include <cstring>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

namespace vexmora::meter {
namespace {

void takeNextHops(const rtattr *attribute, HostRoute &route)
{
    int left = int(RTA_PAYLOAD(attribute));
    for (auto *hop = static_cast<const rtnexthop *>(RTA_DATA(attribute));
         left >= int(sizeof *hop) && hop->rtnh_len >= sizeof *hop && int(hop->rtnh_len) <= left;
         hop = RTNH_NEXT(hop)) {
        route.devices.push_back(hop->rtnh_ifindex);
        left -= RTNH_ALIGN(hop->rtnh_len);
    }
}

void takeAttribute(const rtattr *attribute, HostRoute &route)
{
    const std::size_t length = RTA_PAYLOAD(attribute);
    switch (attribute->rta_type) {
    case RTA_DST:
        std::memcpy(route.destination.data(), RTA_DATA(attribute),
                    std::min(length, route.destination.size()));
        break;
    case RTA_OIF:
        if (length >= sizeof(int)) {
            int device = 0;
            std::memcpy(&device, RTA_DATA(attribute), sizeof device);
            route.devices.push_back(device);
        }
        break;
    case RTA_TABLE:
        if (length >= sizeof(quint32))
            std::memcpy(&route.table, RTA_DATA(attribute), sizeof route.table);
        break;
    case RTA_MULTIPATH:
        takeNextHops(attribute, route);
        break;
    }
}

} // namespace

bool parseHostRoute(const nlmsghdr &message, HostRoute &route)
{
    if (message.nlmsg_type != RTM_NEWROUTE || message.nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg)))
        return false;
    const auto *header = static_cast<const rtmsg *>(NLMSG_DATA(&message));
    if (header->rtm_family != AF_INET && header->rtm_family != AF_INET6)
        return false;
    const quint8 widest = header->rtm_family == AF_INET ? 32 : 128;
    route = HostRoute{};
    route.family = header->rtm_family;
    route.bits = std::min(header->rtm_dst_len, widest);
    route.table = header->rtm_table;
    route.type = header->rtm_type;
    int left = int(RTM_PAYLOAD(&message));
    for (auto *attribute = RTM_RTA(header); RTA_OK(attribute, left);
         attribute = RTA_NEXT(attribute, left))
        takeAttribute(attribute, route);
    return true;
}

bool readHostRoutes(NetlinkDump &netlink, std::vector<HostRoute> &routes, QString *error)
{
    routes.clear();
    if (!netlink.isOpen() && !netlink.open(error))
        return false;
    DumpRequest<rtmsg> request(RTM_GETROUTE);
    request.body.rtm_family = AF_UNSPEC;
    const auto take = [&routes](const nlmsghdr &message) {
        HostRoute route;
        if (parseHostRoute(message, route))
            routes.push_back(std::move(route));
    };
    if (!netlink.dump(
            request.header, "the routes' dump", [&routes] { routes.clear(); }, take, error)) {
        netlink.close();
        return false;
    }
    return true;
}

} // namespace vexmora::meter
