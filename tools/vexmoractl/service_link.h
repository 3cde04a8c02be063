#pragma once

#include "vexmora_server_proxy.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusPendingReply>
#include <QString>
#include <memory>

namespace vexmora::ctl {

// The way to the service: the system bus connection (or the one at
// $DBUS_SYSTEM_BUS_ADDRESS) and the proxy generated from the interface XML.
// The first failure is kept as one line saying what went wrong.
class ServiceLink
{
public:
    ServiceLink();

    VexmoraServerProxy &proxy() { return *proxy_; }
    QDBusConnection &connection() { return connection_; }
    bool busReachable() const { return failure_.isEmpty(); }
    const QString &failure() const { return failure_; }

    // Waits for the reply; false (with failure() set) when the call failed.
    template <typename T> bool await(QDBusPendingReply<T> reply, T &value)
    {
        reply.waitForFinished();
        if (reply.isError()) {
            failure_ = describeCallFailure(reply.error());
            return false;
        }
        value = reply.value();
        return true;
    }

    static QString describeCallFailure(const QDBusError &error);

private:
    QDBusConnection connection_;
    std::unique_ptr<VexmoraServerProxy> proxy_;
    QString failure_;
};

} // namespace vexmora::ctl
