#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QStringList>

namespace testsupport {

// "running", or how the process ended.
QString describeState(QProcess &process);
void stopPolitelyThenByForce(QProcess &process);

// A dbus-daemon of the test's own, shaped like the system bus. Stopped when
// the object goes away.
class PrivateBus
{
public:
    // configFile defaults to the open test configuration.
    explicit PrivateBus(QString configFile = QString());
    ~PrivateBus() { stop(); }

    bool start();
    void stop();
    // Kills the daemon at once, as a crash would.
    void kill() { process_.kill(), process_.waitForFinished(5000); }
    QString address() const { return address_; }
    // A new client connection of its own to the bus.
    QDBusConnection connect(const QString &connectionName);
    QByteArray log() { return process_.readAllStandardError(); }
    QString state() { return describeState(process_); }

private:
    QString configFile_;
    QProcess process_;
    QString address_;
    QStringList connectionNames_;
};

// A resident program of the system (vexmorad unless told otherwise), started
// on a given bus address. Stopped when the object goes away.
class ServiceProcess
{
public:
    ServiceProcess();
    // program with its arguments; start() waits for busName.
    ServiceProcess(QString program, QStringList arguments, QString busName);
    ~ServiceProcess() { stop(); }

    // Sends the output to a file instead of the pipe that log() reads, for
    // runs too long for a pipe nobody empties.
    void setLogFile(const QString &path) { logFile_ = path; }
    // Starts the process with DBUS_SYSTEM_BUS_ADDRESS set to busAddress.
    void launch(const QString &busAddress);
    // Starts it and waits until it owns its name on the bus (seen through
    // watcher) and still runs.
    bool start(const QString &busAddress, QDBusConnection watcher);
    bool waitForExit() { return !isRunning() || process_.waitForFinished(10000); }
    bool isRunning() const { return process_.state() == QProcess::Running; }
    // The exit code, or -1 after a signal.
    int exitCode() const;
    qint64 pid() const { return process_.processId(); }
    void stop() { stopPolitelyThenByForce(process_); }
    // Everything the process wrote so far, standard output and error merged.
    QByteArray log();
    QString state() { return describeState(process_); }

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

} // namespace testsupport
