// The snapshots' rates around a sleep: traffic that wakes the meter is given
// at its own rate, not spread over the sleep before it.
#include "meter_fixture.h"
#include "state_dir.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

using namespace metertest;

// A source whose next sample finds the bytes the test gives it, and that
// wakes a sleeping meter at the first packet, as the kernel programs do.
class WakingSource : public SocketCountSource
{
public:
    WakingSource() : wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~WakingSource() override { ::close(wake_); }
    QString name() const override { return QStringLiteral("waking"); }
    bool open(QString *) override { return true; }
    int notificationFd() const override { return wake_; }
    void readNotifications() override
    {
        quint64 count = 0;
        const ssize_t got = ::read(wake_, &count, sizeof count);
        Q_UNUSED(got)
    }
    bool wakesOnTraffic() const override { return true; }
    SourceSample sample() override
    {
        const SocketOwner us{::getpid(), 0, "test"};
        SourceSample taken{{us}, {{us, true, next_}}, false};
        next_ = {};
        return taken;
    }
    void ownersInUse(QSet<quint32> &, QSet<qint64> &pids) const override { pids << ::getpid(); }
    void addHealth(AttributionHealth &) const override {}

    void receive(quint64 bytes) { next_.recv += bytes; }
    void wake() const
    {
        const quint64 one = 1;
        const ssize_t put = ::write(wake_, &one, sizeof one);
        Q_UNUSED(put)
    }

private:
    int wake_;
    ByteCounts next_;
};

double downRateOfApps()
{
    double rate = 0;
    const QJsonArray apps =
        QJsonDocument::fromJson(testsupport::readStateFile(QStringLiteral("app_info"))).array();
    for (const QJsonValue &app : apps)
        rate += app.toObject().value(QLatin1String("down_rate")).toDouble();
    return rate;
}

} // namespace

TEST_F(MeterTest, TrafficThatWakesTheMeterIsShownAtItsOwnRate)
{
    WakingSource source;
    sources_ = {&source};
    startMeter(); // a 10 s interval
    while (meter_->nextSampleDelayMs() < 30000)
        step(meter_->nextSampleDelayMs());
    // 12 s into the sleep, 10 kB/s start: their first packets wake the meter.
    wallMs_ += 12000;
    elapsedMs_ += 12000;
    move("eth0", 1000, 0);
    source.receive(1000);
    source.wake();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
    ASSERT_EQ(meter_->nextSampleDelayMs(), 10000) << "not woken";
    EXPECT_EQ(downRateOfApps(), 0) << "the first packets spread over the sleep before them";
    for (int interval = 0; interval < 3; ++interval) {
        move("eth0", 100000, 0);
        source.receive(100000);
        step(10000);
        EXPECT_EQ(downRateOfApps(), 10000) << "interval " << interval;
    }
}
