#include "bus_registration.h"

#include "vexmora_bus_names.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDebug>

namespace vexmora {
namespace {

// Qt leaves the last error empty when the name is merely taken; say why.
QString claimFailureDetail(QDBusConnection &connection, const QString &name)
{
    const QString message = connection.lastError().message();
    if (!message.isEmpty()) {
        return message;
    }
    if (connection.interface() != nullptr) {
        const QString owner = connection.interface()->serviceOwner(name).value();
        if (!owner.isEmpty()) {
            return QStringLiteral("the name is already owned by ") + owner;
        }
    }
    return QStringLiteral("the bus did not grant the name");
}

} // namespace

bool registerOnBus(QDBusConnection &connection, QObject *service)
{
    const QString name = QString::fromLatin1(bus::kServiceName);
    if (!connection.registerService(name)) {
        qWarning() << "Failed to register service:" << claimFailureDetail(connection, name);
        return false;
    }
    if (!connection.registerObject(QString::fromLatin1(bus::kObjectPath), service,
                                   QDBusConnection::ExportAdaptors)) {
        qWarning() << "Failed to register object:" << connection.lastError().message();
        return false;
    }
    return true;
}

BusDisconnectWatch::BusDisconnectWatch(QDBusConnection &connection, QObject *parent)
    : QObject(parent)
{
    connection.connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"),
                       QStringLiteral("org.freedesktop.DBus.Local"), QStringLiteral("Disconnected"),
                       this, SLOT(onDisconnected()));
}

void BusDisconnectWatch::onDisconnected()
{
    qWarning("Lost the connection to the system bus; exiting.");
    QCoreApplication::exit(1);
}

} // namespace vexmora
