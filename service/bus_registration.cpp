#include "bus_registration.h"

#include "vexmora_bus_names.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDebug>

namespace vexmora {
namespace {

// The bus name is what keeps a second service from answering beside the first.
QString anotherInstanceRuns(const QString &name, const QString &owner, uint pid)
{
    const QString unit = QString::fromLatin1(bus::kServiceUnit).remove(QStringLiteral(".service"));
    const QString holder = pid != 0 ? QStringLiteral("pid %1, ").arg(pid) + owner : owner;
    return QStringLiteral("another instance of vexmorad already runs: the bus name ") + name +
           QStringLiteral(" is owned by ") + holder +
           QStringLiteral("; stop that one first (systemctl stop ") + unit +
           QStringLiteral(" where its unit runs it)");
}

// Qt leaves the last error empty when the name is merely taken; say why.
QString claimFailureDetail(QDBusConnection &connection, const QString &name)
{
    const QString message = connection.lastError().message();
    if (!message.isEmpty()) {
        return message;
    }
    QDBusConnectionInterface *busInterface = connection.interface();
    if (busInterface != nullptr) {
        const QString owner = busInterface->serviceOwner(name).value();
        if (!owner.isEmpty()) {
            return anotherInstanceRuns(name, owner, busInterface->servicePid(name).value());
        }
    }
    return QStringLiteral("the bus did not grant the name");
}

} // namespace

bool registerOnBus(QDBusConnection &connection, QObject *service)
{
    const QString name = QString::fromLatin1(bus::kServiceName);
    if (!connection.registerService(name)) {
        qWarning("Failed to register service: %s",
                 qPrintable(claimFailureDetail(connection, name)));
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
