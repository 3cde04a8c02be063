#pragma once

#include "alarm_monitor.h"
#include "attribution_types.h"

#include <QString>
#include <array>
#include <vector>

namespace vexmora::meter {

// The meter's state as its outputs show it (the node exporter's textfile).
struct MeterStatus
{
    ByteCounts hostBytes; // since the meter started
    bool counting = false;
    std::array<bool, kAlarmKinds.size()> alarmRaised{};
    std::vector<AppBytes> appsToday; // the busiest applications of the UTC day
    quint64 lostCloseReports = 0;
    quint64 uncountedPackets = 0;
    quint64 staleEntries = 0;
    QString attributionSource; // empty while no source counts
};

} // namespace vexmora::meter
