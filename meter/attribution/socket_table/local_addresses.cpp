#include "local_addresses.h"

#include <algorithm>
#include <ifaddrs.h>
#include <netinet/in.h>

namespace vexmora::meter {

std::vector<IpAddress> LocalAddresses::interfaceAddresses()
{
    std::vector<IpAddress> addresses;
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) != 0)
        return addresses;
    for (const ifaddrs *entry = list; entry; entry = entry->ifa_next) {
        const sockaddr *address = entry->ifa_addr;
        if (address && address->sa_family == AF_INET) {
            const auto *v4 = reinterpret_cast<const sockaddr_in *>(address);
            addresses.push_back(IpAddress::fromRaw(AF_INET, &v4->sin_addr));
        } else if (address && address->sa_family == AF_INET6) {
            const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(address);
            addresses.push_back(IpAddress::fromRaw(AF_INET6, &v6->sin6_addr));
        }
    }
    ::freeifaddrs(list);
    return addresses;
}

LocalAddresses::LocalAddresses(Source source) : source_(std::move(source)) {}

bool LocalAddresses::contains(const IpAddress &address)
{
    if (address.isLoopback())
        return true;
    if (!fresh_) {
        addresses_ = source_();
        fresh_ = true;
    }
    return std::find(addresses_.begin(), addresses_.end(), address) != addresses_.end();
}

} // namespace vexmora::meter
