#pragma once

#include "private_bus.h"
#include "service_client.h"
#include "service_process.h"

#include <QByteArray>
#include <memory>

namespace testsupport {

// A private bus, a client connection on it and the real vexmorad: what the
// end-to-end cases start from. All of it stops when the object goes away.
class RunningService
{
public:
    // busConfig defaults to the open test configuration.
    explicit RunningService(QString busConfig = QString()) : bus_(std::move(busConfig)) {}
    RunningService(const RunningService &) = delete;
    RunningService &operator=(const RunningService &) = delete;

    // Starts the bus, the client and the service; false with the reason in startError().
    bool start();
    QByteArray startError() const { return startError_; }

    PrivateBus &bus() { return bus_; }
    ServiceClient &client() { return *client_; }
    ServiceProcess &service() { return service_; }

    // Writes the service's and the bus's output, for a test that failed.
    void dumpLogs();

private:
    // Declared in start order: the service stops first, the bus last.
    PrivateBus bus_;
    std::unique_ptr<ServiceClient> client_;
    ServiceProcess service_;
    QByteArray startError_;
};

} // namespace testsupport
