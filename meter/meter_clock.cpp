#include "meter_clock.h"

#include <ctime>

namespace vexmora::meter {
namespace {

qint64 readMs(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

} // namespace

qint64 SystemClock::wallMs() const
{
    return readMs(CLOCK_REALTIME);
}

qint64 SystemClock::elapsedMs() const
{
    return readMs(CLOCK_BOOTTIME);
}

} // namespace vexmora::meter
