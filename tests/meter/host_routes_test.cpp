// Which addresses the host keeps a container's traffic to, from its routes.
#include "host_routes.h"

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

// "a.b.c.d/n stays" or "... leaves", for readable failures.
std::vector<std::string> described(const std::vector<RoutePrefix> &prefixes)
{
    std::vector<std::string> lines;
    for (const RoutePrefix &prefix : prefixes) {
        const bool mapped = prefix.address[10] == 0xff && prefix.address[11] == 0xff;
        std::string text;
        if (mapped) {
            for (int i = 12; i < 16; ++i)
                text += std::to_string(prefix.address[std::size_t(i)]) + (i < 15 ? "." : "");
            text += "/" + std::to_string(prefix.bits - 96);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "%02x%02x", prefix.address[0], prefix.address[1]);
            text = std::string(hex) + "::/" + std::to_string(prefix.bits);
        }
        lines.push_back(text + (prefix.staysOnHost ? " stays" : " leaves"));
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

TEST(HostRoutes, OwnAddressesBridgesAndLinkLocalStayWhatACountedInterfaceCarriesLeaves)
{
    const std::vector<HostRoute> routes = {
        ipv4({0, 0, 0, 0}, 0, {kUplink}),       // the default route
        ipv4({198, 51, 100, 0}, 24, {kUplink}), // the uplink's own network
        ipv4({198, 51, 100, 7}, 32, {kUplink}, RT_TABLE_LOCAL, RTN_LOCAL), // the host's address
        ipv4({10, 88, 0, 0}, 16, {kBridge}),                        // containers behind a bridge
        ipv4({10, 88, 9, 0}, 24, {kBridge, kUplink}),               // one next hop counted: leaves
        ipv4({10, 88, 5, 0}, 24, {kBridge}),                        // the same prefix twice,
        ipv4({10, 88, 5, 0}, 24, {kUplink}),                        // once out: leaves
        ipv4({10, 88, 7, 0}, 24, {kUplink}, 100),                   // another table: leaves
        ipv4({10, 88, 7, 0}, 24, {kBridge}, RT_TABLE_MAIN),         // but the main table's says
        ipv4({10, 99, 0, 0}, 16, {}, RT_TABLE_MAIN, RTN_BLACKHOLE), // moves nothing: not listed
        ipv4({192, 0, 2, 0}, 24, {kTunnel}),                        // not counted: stays
        ipv4({192, 0, 2, 77}, 21, {kTunnel}),                       // bits past the prefix cleared
    };
    const auto counted = [](int ifindex) { return ifindex == kUplink; };

    EXPECT_EQ(described(routePrefixes(routes, counted)),
              (std::vector<std::string>{
                  "10.88.0.0/16 stays", "10.88.5.0/24 leaves", "10.88.7.0/24 stays",
                  "10.88.9.0/24 leaves", "169.254.0.0/16 stays", "192.0.0.0/21 stays",
                  "192.0.2.0/24 stays", "198.51.100.7/32 stays", "fe80::/10 stays"}));
}

} // namespace
} // namespace vexmora::meter
