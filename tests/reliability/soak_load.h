#pragma once

// The load of the soak test apart from the writer: clients on connections of
// their own, each on its own thread, and a holder of the database lock.

#include "service_client.h"

#include <QStringList>
#include <atomic>
#include <thread>

namespace soak {

// Calls getReportData in a loop and keeps every reply.
class ReportLoop
{
public:
    explicit ReportLoop(QDBusConnection connection);
    ~ReportLoop() { stop(); }
    void start();
    void stop();

    const QStringList &replies() const { return replies_; }
    int failedCalls() const { return failed_; }

private:
    void run();

    testsupport::ServiceClient client_;
    std::atomic<bool> running_{false};
    std::thread thread_;
    QStringList replies_;
    int failed_ = 0;
};

// Calls every other method of the interface round and round and checks the
// kind of every reply.
class MethodRounds
{
public:
    explicit MethodRounds(QDBusConnection connection);
    ~MethodRounds() { stop(); }
    void start();
    void stop();

    int rounds() const { return rounds_; }
    // Descriptions of the replies that were errors or of the wrong kind.
    const QStringList &faults() const { return faults_; }

private:
    void run();
    void callOnce(const QString &method, const QVariantList &arguments);

    testsupport::ServiceClient client_;
    std::atomic<bool> running_{false};
    std::thread thread_;
    int rounds_ = 0;
    QStringList faults_;
};

// Now and then holds an exclusive lock on the database for longer than the
// store's busy time-out, so that some writes and reads meet a lock they
// cannot wait out.
class LockHolder
{
public:
    LockHolder(int holdMilliseconds, int pauseMilliseconds)
        : holdMs_(holdMilliseconds), pauseMs_(pauseMilliseconds)
    {}
    ~LockHolder() { stop(); }
    void start();
    void stop();

    int timesHeld() const { return held_; }

private:
    void run();

    int holdMs_;
    int pauseMs_;
    std::atomic<bool> running_{false};
    std::thread thread_;
    int held_ = 0;
};

} // namespace soak
