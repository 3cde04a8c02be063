#pragma once

// A meter over a fake /proc and /sys, driven by a clock the test moves, with
// the real store and settings file in the scratch state directory.

#include "alarm_sink.h"
#include "meter.h"
#include "netflow_settings.h"
#include "state_dir.h"
#include "traffic_store.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <map>
#include <memory>

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}
QT_END_NAMESPACE

namespace metertest {

using namespace vexmora::meter;

class FakeClock : public MeterClock
{
public:
    qint64 wallMs() const override { return wall; }
    qint64 elapsedMs() const override { return elapsed; }
    qint64 wall = 0;
    qint64 elapsed = 1000000;
};

class RecordingSink : public AlarmSink
{
public:
    void raise(const AlarmEvent &event, qint64) override { events.push_back(event); }
    std::vector<AlarmEvent> events;
};

struct FakeInterface
{
    quint64 recv = 0;
    quint64 sent = 0;
    int ifindex = 1;
    bool physical = true;
};

// Seconds since the epoch of a UTC wall time "YYYY-MM-DD hh:mm:ss".
qint64 utcMs(const char *text);

class MeterTest : public testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    void setInterface(const QByteArray &name, const FakeInterface &interface);
    void removeInterface(const QByteArray &name);
    // Adds bytes to an interface's counters.
    void move(const QByteArray &name, quint64 recv, quint64 sent);
    // Moves both clocks by ms and lets the meter sample.
    void step(qint64 ms);
    void startMeter(MeterOptions options = {});
    // The hour's stored row; mins -1 when there is none.
    vexmora::store::HourRecord row(const char *hour);

    QTemporaryDir root_;
    FakeClock clock_;
    RecordingSink sink_;
    NetflowSettings settings_;
    std::map<QByteArray, FakeInterface> interfaces_;
    std::unique_ptr<Meter> meter_;

private:
    void writeProcNetDev();
};

} // namespace metertest
