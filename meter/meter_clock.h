#pragma once

#include <QtGlobal>

namespace vexmora::meter {

// The meter's two clocks. The wall clock places traffic in local hours and
// minutes and may jump either way; the elapsed clock (CLOCK_BOOTTIME) only
// moves forward, also across a suspend, and measures intervals and windows.
class MeterClock
{
public:
    virtual ~MeterClock() = default;
    virtual qint64 wallMs() const = 0;
    virtual qint64 elapsedMs() const = 0;
};

class SystemClock : public MeterClock
{
public:
    qint64 wallMs() const override;
    qint64 elapsedMs() const override;
};

} // namespace vexmora::meter
