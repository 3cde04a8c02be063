#pragma once

#include <QByteArray>
#include <QDBusConnection>
#include <QProcess>
#include <QString>

namespace testsupport {

inline constexpr char kServiceName[] = "com.quorin.pelmark.vexmora";
inline constexpr char kObjectPath[] = "/vexmora";
inline constexpr char kInterfaceName[] = "com.quorin.pelmark.vexmora.server";

// The real vexmorad, started on a given bus address. Stopped when the object
// goes away.
class ServiceProcess
{
public:
    ServiceProcess() = default;
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess &) = delete;
    ServiceProcess &operator=(const ServiceProcess &) = delete;

    // Starts the process with DBUS_SYSTEM_BUS_ADDRESS set to busAddress.
    void launch(const QString &busAddress);
    // Starts it and waits until it owns its name on the bus (seen through
    // watcher) and still runs.
    bool start(const QString &busAddress, QDBusConnection watcher);
    bool waitForExit(int milliseconds = 10000);
    bool isRunning() const;
    int exitCode() const;
    qint64 pid() const;
    void stop();
    // Everything the process wrote so far, standard output and error merged.
    QByteArray log();

private:
    QProcess process_;
    QByteArray log_;
};

// Waits until name has an owner on the bus, or the deadline passes.
bool waitForName(QDBusConnection &connection, const QString &name, int milliseconds = 10000);

} // namespace testsupport
