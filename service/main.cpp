#include "bus_registration.h"
#include "netflow_dbus_service.h"
#include "netflowdbusadaptor.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDebug>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    auto *service = new NetflowDBusService(&app);
    new NetflowDBusAdaptor(service);

    QDBusConnection connection = QDBusConnection::systemBus();
    if (!vexmora::registerOnBus(connection, service)) {
        return 1;
    }
    vexmora::BusDisconnectWatch disconnectWatch(connection);
    qDebug() << "DBus service registered successfully.";
    return app.exec();
}
