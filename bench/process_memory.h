#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QString>
#include <string>

namespace bench {

inline constexpr char kServiceName[] = "com.quorin.pelmark.vexmora";
inline constexpr char kObjectPath[] = "/vexmora";
inline constexpr char kInterfaceName[] = "com.quorin.pelmark.vexmora.server";

// "running", or the exit code or signal of a process that ended.
std::string processState(QProcess &process);

// A dbus-daemon of the benchmark's own, configured like the system bus.
class PrivateBus
{
public:
    PrivateBus() = default;
    ~PrivateBus();
    PrivateBus(const PrivateBus &) = delete;
    PrivateBus &operator=(const PrivateBus &) = delete;

    bool start();
    QString address() const { return address_; }
    // "running", or how the daemon ended.
    std::string state() { return processState(process_); }

private:
    QProcess process_;
    QString address_;
};

// vexmorad on a given bus; its output goes to a log file, not to a pipe that
// could fill up while the benchmark is busy calling it.
class ServiceUnderTest
{
public:
    ServiceUnderTest() = default;
    ~ServiceUnderTest();
    ServiceUnderTest(const ServiceUnderTest &) = delete;
    ServiceUnderTest &operator=(const ServiceUnderTest &) = delete;

    // Starts it and waits until it owns its name (seen through watcher).
    bool start(const QString &busAddress, QDBusConnection &watcher, const QString &logFile);
    qint64 pid() const { return process_.processId(); }
    bool isRunning() const { return process_.state() == QProcess::Running; }
    std::string state() { return processState(process_); }

private:
    QProcess process_;
};

// Waits until the service owns its name on the bus, or the deadline passes.
bool waitForService(QDBusConnection &connection, int milliseconds);

// Resident memory of a process in KiB, from /proc; -1 where unreadable.
struct Resident
{
    qint64 total = -1;        // VmRSS
    qint64 anonymous = -1;    // RssAnon: heap, stacks, the process's own data
    qint64 fileBacked = -1;   // RssFile: pages of the mapped executable and libraries
    qint64 proportional = -1; // Pss: shared pages divided among their users
};
Resident residentKiB(qint64 pid);

} // namespace bench
