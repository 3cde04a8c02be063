#include "service_link.h"

#include "vexmora_bus_names.h"

namespace vexmora::ctl {

ServiceLink::ServiceLink()
    : connection_(QDBusConnection::systemBus()),
      proxy_(std::make_unique<VexmoraServerProxy>(QString::fromLatin1(bus::kServiceName),
                                                  QString::fromLatin1(bus::kObjectPath),
                                                  connection_))
{
    if (!connection_.isConnected()) {
        failure_ =
            QStringLiteral("cannot reach the system bus: ") + connection_.lastError().message();
    }
}

QString ServiceLink::describeCallFailure(const QDBusError &error)
{
    const QString detail = error.name() + QStringLiteral(": ") + error.message();
    switch (error.type()) {
    case QDBusError::AccessDenied:
        return QStringLiteral("access denied: the bus policy does not let this user call the "
                              "vexmora service (") +
               detail + QLatin1Char(')');
    case QDBusError::ServiceUnknown:
        return QStringLiteral("the vexmora service is not running on the bus (") + detail +
               QLatin1Char(')');
    case QDBusError::NoReply:
    case QDBusError::Timeout:
    case QDBusError::TimedOut:
        return QStringLiteral("the vexmora service did not answer (") + detail + QLatin1Char(')');
    case QDBusError::Disconnected:
    case QDBusError::NoServer:
        return QStringLiteral("cannot reach the system bus (") + detail + QLatin1Char(')');
    default:
        return QStringLiteral("the call to the vexmora service failed (") + detail +
               QLatin1Char(')');
    }
}

} // namespace vexmora::ctl
