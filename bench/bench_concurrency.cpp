#include "bench_concurrency.h"

#include <QDBusConnection>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

// Lets the clients connect first and then start calling at one moment.
class StartGate
{
public:
    explicit StartGate(int parties) : waiting_(parties) {}

    void arriveAndWait()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (--waiting_ == 0) {
            start_ = Clock::now();
            condition_.notify_all();
            return;
        }
        condition_.wait(lock, [this] { return waiting_ == 0; });
    }
    Clock::time_point startTime() const { return start_; }

private:
    std::mutex mutex_;
    std::condition_variable condition_;
    int waiting_;
    Clock::time_point start_;
};

struct ClientRun
{
    long calls = 0;
    bool failed = false;
};

void runClient(const QString &busAddress, int index, const QVector<QDBusMessage> &rotation,
               StartGate &gate, const std::atomic<bool> &stop, ClientRun &result)
{
    const QString name = QStringLiteral("vexmora-bench-client-%1").arg(index);
    {
        QDBusConnection connection = QDBusConnection::connectToBus(busAddress, name);
        gate.arriveAndWait();
        for (int next = 0; !stop.load(std::memory_order_relaxed);
             next = (next + 1) % rotation.size()) {
            const QDBusMessage reply = connection.call(rotation[next], QDBus::Block, 60000);
            if (reply.type() != QDBusMessage::ReplyMessage) {
                result.failed = true;
                break;
            }
            ++result.calls;
        }
    }
    QDBusConnection::disconnectFromBus(name);
}

} // namespace

double concurrentThroughput(const QString &busAddress, int clients,
                            const QVector<QDBusMessage> &rotation, int milliseconds)
{
    StartGate gate(clients + 1);
    std::atomic<bool> stop{false};
    std::vector<ClientRun> results(static_cast<size_t>(clients));
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back(runClient, busAddress, i, std::cref(rotation), std::ref(gate),
                             std::cref(stop), std::ref(results[static_cast<size_t>(i)]));
    }
    gate.arriveAndWait();
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    stop = true;
    const std::chrono::duration<double> elapsed = Clock::now() - gate.startTime();
    long calls = 0;
    for (size_t i = 0; i < threads.size(); ++i) {
        threads[i].join();
        if (results[i].failed) {
            throw std::runtime_error("a concurrent client got an error reply");
        }
        calls += results[i].calls;
    }
    // Calls still in flight at the stop complete after `elapsed` was taken;
    // at most one per client, a negligible share of the count.
    return static_cast<double>(calls) / elapsed.count();
}

} // namespace bench
