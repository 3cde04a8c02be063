#include "running_service.h"

#include <QDebug>

namespace testsupport {

bool RunningService::start()
{
    if (!bus_.start()) {
        startError_ = "dbus-daemon did not start: " + bus_.log();
        return false;
    }
    client_ = std::make_unique<ServiceClient>(bus_.connect(QStringLiteral("client")));
    if (!service_.start(bus_.address(), client_->connection())) {
        startError_ = "vexmorad did not come up: " + service_.log();
        return false;
    }
    return true;
}

void RunningService::dumpLogs()
{
    qInfo().noquote() << "vexmorad log:\n" << service_.log().right(8000);
    qInfo().noquote() << "dbus-daemon log:\n" << bus_.log().right(4000);
}

} // namespace testsupport
