#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace testsupport {

// A dbus-daemon of the test's own, shaped like the system bus. Stopped when
// the object goes away.
class PrivateBus
{
public:
    // configFile defaults to the open test configuration.
    explicit PrivateBus(QString configFile = QString());
    ~PrivateBus();
    PrivateBus(const PrivateBus &) = delete;
    PrivateBus &operator=(const PrivateBus &) = delete;

    bool start();
    void stop();
    // Kills the daemon at once, as a crash would.
    void kill();
    QString address() const { return address_; }
    // A new client connection of its own to the bus.
    QDBusConnection connect(const QString &connectionName);
    QByteArray log();
    // "running", or how the daemon ended.
    QString state();

private:
    QString configFile_;
    QProcess process_;
    QString address_;
    QStringList connectionNames_;
};

} // namespace testsupport
