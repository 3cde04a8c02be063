#pragma once

#include "diag_socket.h"

#include <functional>
#include <vector>

namespace vexmora::meter {

// Whether an address is this host's own: a loopback address or one of its
// interfaces' addresses. The interface list is read when first needed after
// expire(), so a sample reads it at most once and only if it must classify.
class LocalAddresses
{
public:
    using Source = std::function<std::vector<IpAddress>()>;

    // The interfaces of the network namespace of the calling thread.
    static std::vector<IpAddress> interfaceAddresses();

    explicit LocalAddresses(Source source = interfaceAddresses);
    void expire() { fresh_ = false; }
    bool contains(const IpAddress &address);

private:
    Source source_;
    std::vector<IpAddress> addresses_;
    bool fresh_ = false;
};

} // namespace vexmora::meter
