#pragma once

#include <QtGlobal>

namespace vexmora::meter {

// When the next sample is due. While samples find that nothing moved, the
// delay doubles from the configured interval up to kLongestIdleDelayMs, and
// a sleeping delay never crosses a minute's edge, so that each minute's
// bytes still land in that minute. The first sample that sees traffic brings
// the configured interval back.
class SampleSchedule
{
public:
    static constexpr qint64 kLongestIdleDelayMs = 30 * 1000;

    explicit SampleSchedule(qint64 intervalMs);

    // After a sample at `wallMs` that found traffic or not: the delay until
    // the next one.
    qint64 afterSample(bool moved, qint64 wallMs);
    // Back to the configured interval (counting starts or stops).
    void reset();
    qint64 delayMs() const { return delayMs_; }
    // Whether the delay is longer than the configured interval.
    bool asleep() const { return delayMs_ > intervalMs_; }
    // A sample came `sinceMs` after the previous one: it is a gap (a suspend,
    // a stall) when it is three configured intervals late, at least ten
    // seconds more than one interval.
    bool isGap(qint64 sinceMs) const;

private:
    const qint64 intervalMs_;
    qint64 quietDelayMs_;
    qint64 delayMs_;
};

} // namespace vexmora::meter
