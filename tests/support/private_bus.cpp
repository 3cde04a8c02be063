#include "private_bus.h"

#include "vexmora_bus_names.h"

#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QThread>

namespace testsupport {

QString describeState(QProcess &process)
{
    if (!process.waitForFinished(200) && process.state() == QProcess::Running) {
        return QStringLiteral("running");
    }
    const bool signalled = process.exitStatus() == QProcess::CrashExit;
    return QString::fromLatin1(signalled ? "killed by signal %1" : "exited with code %1")
        .arg(process.exitCode());
}

void stopPolitelyThenByForce(QProcess &process)
{
    if (process.state() != QProcess::NotRunning) {
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
}

PrivateBus::PrivateBus(QString configFile)
    : configFile_(configFile.isEmpty() ? QStringLiteral(VEXMORA_TEST_BUS_CONFIG) : configFile)
{}

bool PrivateBus::start()
{
    process_.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--config-file=") + configFile_, QStringLiteral("--nofork"),
                    QStringLiteral("--print-address=1")});
    // The daemon prints its address once it listens.
    while (!process_.canReadLine() && process_.waitForReadyRead(10000)) {
    }
    address_ = QString::fromUtf8(process_.readLine().trimmed());
    return !address_.isEmpty();
}

void PrivateBus::stop()
{
    for (const QString &name : qAsConst(connectionNames_)) {
        QDBusConnection::disconnectFromBus(name);
    }
    connectionNames_.clear();
    stopPolitelyThenByForce(process_);
}

QDBusConnection PrivateBus::connect(const QString &connectionName)
{
    connectionNames_.append(connectionName);
    return QDBusConnection::connectToBus(address_, connectionName);
}

ServiceProcess::ServiceProcess()
    : ServiceProcess(QStringLiteral(VEXMORAD_PATH), {},
                     QString::fromLatin1(vexmora::bus::kServiceName))
{}

ServiceProcess::ServiceProcess(QString program, QStringList arguments, QString busName)
    : program_(std::move(program)), arguments_(std::move(arguments)), busName_(std::move(busName))
{}

void ServiceProcess::launch(const QString &busAddress)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), busAddress);
    // Debug messages are part of what the tests read.
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=true"));
    process_.setProcessEnvironment(environment);
    if (logFile_.isEmpty()) {
        process_.setProcessChannelMode(QProcess::MergedChannels);
    } else {
        process_.setStandardOutputFile(logFile_);
        process_.setStandardErrorFile(logFile_, QIODevice::Append);
    }
    process_.start(program_, arguments_);
    process_.waitForStarted(10000);
}

bool ServiceProcess::start(const QString &busAddress, QDBusConnection watcher)
{
    launch(busAddress);
    const QDeadlineTimer deadline(20000);
    while (isRunning() && !deadline.hasExpired()) {
        if (watcher.interface()->isServiceRegistered(busName_)) {
            return isRunning();
        }
        process_.waitForFinished(10);
    }
    return false;
}

int ServiceProcess::exitCode() const
{
    return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
}

QByteArray ServiceProcess::log()
{
    if (isRunning()) {
        process_.waitForReadyRead(50); // returns at once when there is output
    }
    log_ += process_.readAll();
    return log_;
}

bool waitForName(QDBusConnection &connection, const QString &name, int milliseconds)
{
    const QDeadlineTimer deadline(milliseconds);
    while (!connection.interface()->isServiceRegistered(name)) {
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(10);
    }
    return true;
}

} // namespace testsupport
