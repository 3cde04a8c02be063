#include "service_process.h"

#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QProcessEnvironment>
#include <QThread>

namespace testsupport {

ServiceProcess::~ServiceProcess()
{
    stop();
}

void ServiceProcess::launch(const QString &busAddress)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), busAddress);
    // Debug messages are part of what the tests read.
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=true"));
    process_.setProcessEnvironment(environment);
    process_.setProcessChannelMode(QProcess::MergedChannels);
    process_.start(QStringLiteral(VEXMORAD_PATH), QStringList());
    process_.waitForStarted(10000);
}

bool ServiceProcess::start(const QString &busAddress, QDBusConnection watcher)
{
    launch(busAddress);
    const QDeadlineTimer deadline(10000);
    while (isRunning() && !deadline.hasExpired()) {
        if (watcher.interface()->isServiceRegistered(QString::fromLatin1(kServiceName))) {
            return isRunning();
        }
        process_.waitForReadyRead(20);
    }
    return false;
}

bool ServiceProcess::waitForExit(int milliseconds)
{
    return process_.state() == QProcess::NotRunning || process_.waitForFinished(milliseconds);
}

bool ServiceProcess::isRunning() const
{
    return process_.state() == QProcess::Running;
}

int ServiceProcess::exitCode() const
{
    return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
}

qint64 ServiceProcess::pid() const
{
    return process_.processId();
}

void ServiceProcess::stop()
{
    if (process_.state() == QProcess::NotRunning) {
        return;
    }
    process_.terminate();
    if (!process_.waitForFinished(5000)) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

QByteArray ServiceProcess::log()
{
    // Collects what is already in the pipe; returns at once when there is data.
    if (isRunning()) {
        process_.waitForReadyRead(50);
    }
    log_ += process_.readAll();
    return log_;
}

bool waitForName(QDBusConnection &connection, const QString &name, int milliseconds)
{
    const QDeadlineTimer deadline(milliseconds);
    while (!deadline.hasExpired()) {
        if (connection.interface()->isServiceRegistered(name)) {
            return true;
        }
        QThread::msleep(10);
    }
    return false;
}

} // namespace testsupport
