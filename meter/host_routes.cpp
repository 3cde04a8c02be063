#include "host_routes.h"

#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <linux/rtnetlink.h>
#include <map>
#include <sys/socket.h>
#include <unistd.h>

namespace vexmora::meter {
namespace {

// Whose word counts where several tables list the same prefix.
int tableRank(quint32 table)
{
    if (table == RT_TABLE_LOCAL)
        return 0;
    return table == RT_TABLE_MAIN ? 1 : 2;
}

RoutePrefix prefixOf(const HostRoute &route)
{
    RoutePrefix prefix;
    if (route.family == AF_INET) {
        prefix.address[10] = prefix.address[11] = 0xff;
        std::copy_n(route.destination.begin(), 4, prefix.address.begin() + 12);
        prefix.bits = quint8(96 + route.bits);
    } else {
        prefix.address = route.destination;
        prefix.bits = route.bits;
    }
    for (int bit = prefix.bits; bit < 128; ++bit)
        prefix.address[std::size_t(bit / 8)] &= quint8(~(0x80u >> (bit % 8)));
    return prefix;
}

bool covers(const RoutePrefix &wider, const RoutePrefix &narrower)
{
    if (wider.bits >= narrower.bits)
        return false;
    for (int bit = 0; bit < wider.bits; ++bit) {
        const quint8 mask = quint8(0x80u >> (bit % 8));
        const std::size_t at = std::size_t(bit / 8);
        if ((wider.address[at] & mask) != (narrower.address[at] & mask))
            return false;
    }
    return true;
}

struct Verdict
{
    int rank = 3;
    bool stays = true;
};

using PrefixKey = std::pair<std::array<quint8, 16>, quint8>;

void linkLocal(std::map<PrefixKey, Verdict> &verdicts)
{
    HostRoute ipv4{AF_INET, {169, 254}, 16, RT_TABLE_UNSPEC, RTN_UNICAST, {}};
    HostRoute ipv6{AF_INET6, {0xfe, 0x80}, 10, RT_TABLE_UNSPEC, RTN_UNICAST, {}};
    for (const HostRoute &route : {ipv4, ipv6}) {
        const RoutePrefix prefix = prefixOf(route);
        verdicts.emplace(PrefixKey(prefix.address, prefix.bits), Verdict{});
    }
}

// The longest of `kept` that covers prefix; none when none does.
const RoutePrefix *longestCover(const std::vector<RoutePrefix> &kept, const RoutePrefix &prefix)
{
    const RoutePrefix *longest = nullptr;
    for (const RoutePrefix &wider : kept) {
        if (covers(wider, prefix) && (!longest || wider.bits > longest->bits))
            longest = &wider;
    }
    return longest;
}

// Widest first, each prefix kept only where the longest match among those
// kept so far would say otherwise (with no match, the traffic stays): a host
// with a default route and a few bridges keeps a handful, whatever the size
// of its routing tables.
std::vector<RoutePrefix> withoutRedundancy(const std::map<PrefixKey, Verdict> &verdicts)
{
    std::vector<RoutePrefix> all;
    for (const auto &[key, verdict] : verdicts)
        all.push_back(RoutePrefix{key.first, key.second, verdict.stays});
    std::stable_sort(all.begin(), all.end(),
                     [](const RoutePrefix &a, const RoutePrefix &b) { return a.bits < b.bits; });
    std::vector<RoutePrefix> kept;
    for (const RoutePrefix &prefix : all) {
        const RoutePrefix *cover = longestCover(kept, prefix);
        if ((cover ? cover->staysOnHost : true) != prefix.staysOnHost)
            kept.push_back(prefix);
    }
    return kept;
}

} // namespace

std::vector<RoutePrefix> routePrefixes(const std::vector<HostRoute> &routes,
                                       const std::function<bool(int ifindex)> &counted)
{
    std::map<PrefixKey, Verdict> verdicts;
    for (const HostRoute &route : routes) {
        const bool local = route.table == RT_TABLE_LOCAL;
        if (!local && route.type != RTN_UNICAST)
            continue; // blackholes and the like move nothing anywhere
        const bool stays =
            local || std::none_of(route.devices.begin(), route.devices.end(), counted);
        const RoutePrefix prefix = prefixOf(route);
        Verdict &verdict = verdicts[PrefixKey(prefix.address, prefix.bits)];
        const int rank = tableRank(route.table);
        if (rank < verdict.rank)
            verdict = Verdict{rank, stays};
        else if (rank == verdict.rank)
            verdict.stays = verdict.stays && stays;
    }
    linkLocal(verdicts);
    return withoutRedundancy(verdicts);
}

HostRoutes::HostRoutes(QObject *parent) : QObject(parent), dump_(NETLINK_ROUTE) {}

HostRoutes::~HostRoutes()
{
    if (announcements_ >= 0)
        ::close(announcements_);
}

bool HostRoutes::watch(QString *error)
{
    announcements_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (announcements_ < 0 ||
        ::bind(announcements_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        *error = QStringLiteral("cannot follow the routes: ") + qt_error_string(errno);
        return false;
    }
    notifier_ = new QSocketNotifier(announcements_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &HostRoutes::drainAnnouncements);
    return true;
}

bool HostRoutes::read(std::vector<HostRoute> &routes, QString *error)
{
    return readHostRoutes(dump_, routes, error);
}

// A burst of announcements (an interface with its addresses) reads the
// routes once; one that overflowed the socket's queue (ENOBUFS) still means
// they changed.
void HostRoutes::drainAnnouncements()
{
    char buffer[8192];
    for (;;) {
        const ssize_t got = ::recv(announcements_, buffer, sizeof buffer, 0);
        if (got <= 0 && !(got < 0 && errno == ENOBUFS))
            break;
    }
    Q_EMIT changed();
}

} // namespace vexmora::meter
