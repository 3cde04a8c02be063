#pragma once

#include <QDBusConnection>
#include <QObject>

namespace vexmora {

// Claims the service name and registers service at the object path,
// exporting its adaptors. On failure writes the warning and answers false.
bool registerOnBus(QDBusConnection &connection, QObject *service);

// Ends the event loop with exit code 1 when the bus connection is lost: a
// service that cannot be reached must not go on running.
class BusDisconnectWatch : public QObject
{
    Q_OBJECT

public:
    explicit BusDisconnectWatch(QDBusConnection &connection, QObject *parent = nullptr);

private Q_SLOTS:
    void onDisconnected();
};

} // namespace vexmora
