// Which addresses the host keeps a container's traffic to, from its routes.
#include "host_routes.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

namespace vexmora::meter {
namespace {

constexpr int kUplink = 2; // counted
constexpr int kBridge = 3;
constexpr int kTunnel = 4;

HostRoute ipv4(std::array<quint8, 4> address, quint8 bits, std::vector<int> devices,
               quint32 table = RT_TABLE_MAIN, quint8 type = RTN_UNICAST)
{
    HostRoute route{AF_INET, {}, bits, table, type, std::move(devices)};
    std::copy(address.begin(), address.end(), route.destination.begin());
    return route;
}

HostRoute ipv6Default(int device)
{
    return HostRoute{AF_INET6, {}, 0, RT_TABLE_MAIN, RTN_UNICAST, {device}};
}

// What the programs' longest-prefix match makes of an address: "stays" or
// "leaves"; an address no prefix covers stays.
std::string verdict(const std::vector<RoutePrefix> &prefixes, const char *address)
{
    std::array<quint8, 16> bytes{};
    if (inet_pton(AF_INET, address, &bytes[12]) == 1)
        bytes[10] = bytes[11] = 0xff;
    else
        EXPECT_EQ(inet_pton(AF_INET6, address, bytes.data()), 1) << address;
    const RoutePrefix *longest = nullptr;
    for (const RoutePrefix &prefix : prefixes) {
        bool match = true;
        for (int bit = 0; bit < prefix.bits && match; ++bit) {
            const quint8 mask = quint8(0x80u >> (bit % 8));
            match = (bytes[std::size_t(bit / 8)] & mask) ==
                    (prefix.address[std::size_t(bit / 8)] & mask);
        }
        if (match && (!longest || prefix.bits > longest->bits))
            longest = &prefix;
    }
    return !longest || longest->staysOnHost ? "stays" : "leaves";
}

TEST(HostRoutes, OwnAddressesBridgesAndLinkLocalStayWhatACountedInterfaceCarriesLeaves)
{
    std::vector<HostRoute> routes = {
        ipv4({0, 0, 0, 0}, 0, {kUplink}),       // the default route
        ipv4({198, 51, 100, 0}, 24, {kUplink}), // the uplink's own network
        ipv4({198, 51, 100, 7}, 32, {kUplink}, RT_TABLE_LOCAL, RTN_LOCAL), // the host's address
        ipv4({10, 88, 0, 0}, 16, {kBridge}),                        // containers behind a bridge
        ipv4({10, 88, 9, 0}, 24, {kBridge, kUplink}),               // one next hop counted
        ipv4({10, 88, 5, 0}, 24, {kBridge}),                        // the same prefix twice,
        ipv4({10, 88, 5, 0}, 24, {kUplink}),                        // once out
        ipv4({10, 88, 7, 0}, 24, {kUplink}, 100),                   // another table
        ipv4({10, 88, 7, 0}, 24, {kBridge}, RT_TABLE_MAIN),         // but the main table's
        ipv4({10, 99, 0, 0}, 16, {}, RT_TABLE_MAIN, RTN_BLACKHOLE), // moves nothing anywhere
        ipv4({192, 0, 2, 77}, 21, {kTunnel}),                       // bits past the prefix
        ipv6Default(kUplink),
    };
    const auto counted = [](int ifindex) { return ifindex == kUplink; };
    const std::vector<RoutePrefix> prefixes = routePrefixes(routes, counted);
    const struct
    {
        const char *address, *expected;
    } cases[] = {
        {"8.8.8.8", "leaves"},    {"198.51.100.9", "leaves"}, {"198.51.100.7", "stays"},
        {"10.88.1.1", "stays"},   {"10.88.9.1", "leaves"},    {"10.88.5.1", "leaves"},
        {"10.88.7.1", "stays"},   {"10.99.0.1", "leaves"},    {"192.0.6.1", "stays"},
        {"169.254.3.3", "stays"}, {"2001:db8::1", "leaves"},  {"fe80::1", "stays"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(verdict(prefixes, c.address), c.expected) << c.address;

    // Routes that change no answer take no place: a full table through the
    // uplink adds nothing to the default route.
    for (quint8 i = 0; i < 200; ++i)
        routes.push_back(ipv4({quint8(20 + i), 0, 0, 0}, 8, {kUplink}));
    EXPECT_EQ(routePrefixes(routes, counted).size(), prefixes.size());

    // Without a route there, the host sends nothing out: another namespace's
    // address, or one no interface reaches.
    const std::vector<RoutePrefix> bridgeOnly =
        routePrefixes({ipv4({10, 88, 0, 0}, 16, {kBridge})}, counted);
    EXPECT_EQ(verdict(bridgeOnly, "8.8.8.8"), "stays");
    EXPECT_EQ(verdict(bridgeOnly, "10.88.1.1"), "stays");
}

} // namespace
} // namespace vexmora::meter
