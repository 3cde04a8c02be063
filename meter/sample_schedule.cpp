#include "sample_schedule.h"

namespace vexmora::meter {
namespace {

constexpr qint64 kMinuteMs = 60 * 1000;
// How far after a minute's edge a sleeping sample is taken: timers may fire
// a little early, and the sample must fall into the new minute.
constexpr qint64 kPastTheEdgeMs = 50;
constexpr qint64 kGapIntervals = 3;
constexpr qint64 kGapSlackMs = 10 * 1000;

qint64 untilPastNextMinute(qint64 wallMs)
{
    const qint64 intoMinute = ((wallMs % kMinuteMs) + kMinuteMs) % kMinuteMs;
    return kMinuteMs - intoMinute + kPastTheEdgeMs;
}

} // namespace

SampleSchedule::SampleSchedule(qint64 intervalMs)
    : intervalMs_(intervalMs), quietDelayMs_(intervalMs), delayMs_(intervalMs)
{}

qint64 SampleSchedule::afterSample(bool moved, qint64 wallMs)
{
    if (moved || intervalMs_ >= kLongestIdleDelayMs) {
        reset();
        return delayMs_;
    }
    quietDelayMs_ = qMin(quietDelayMs_ * 2, kLongestIdleDelayMs);
    delayMs_ = qMin(quietDelayMs_, untilPastNextMinute(wallMs));
    return delayMs_;
}

void SampleSchedule::reset()
{
    quietDelayMs_ = intervalMs_;
    delayMs_ = intervalMs_;
}

bool SampleSchedule::isGap(qint64 sinceMs) const
{
    const qint64 lateMs = sinceMs - delayMs_;
    return lateMs + intervalMs_ > qMax(kGapIntervals * intervalMs_, intervalMs_ + kGapSlackMs);
}

} // namespace vexmora::meter
