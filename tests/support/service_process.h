#pragma once

#include <QByteArray>
#include <QDBusConnection>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace testsupport {

// A resident program of the system (vexmorad unless told otherwise), started
// on a given bus address. Stopped when the object goes away.
class ServiceProcess
{
public:
    ServiceProcess();
    // program with its arguments; start() waits for busName.
    ServiceProcess(QString program, QStringList arguments, QString busName);
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess &) = delete;
    ServiceProcess &operator=(const ServiceProcess &) = delete;

    // Sends the output to a file instead of the pipe that log() reads, for
    // runs too long for a pipe nobody empties.
    void setLogFile(const QString &path) { logFile_ = path; }
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
    // "running", or how the process ended.
    QString state();

private:
    QString program_;
    QStringList arguments_;
    QString busName_;
    QString logFile_;
    QProcess process_;
    QByteArray log_;
};

// Waits until name has an owner on the bus, or the deadline passes.
bool waitForName(QDBusConnection &connection, const QString &name, int milliseconds = 10000);
// "running", or the exit code or signal of a process that ended.
QString describeProcessState(QProcess &process);
// Stops a process politely, then by force.
void stopProcess(QProcess &process);

} // namespace testsupport
