#pragma once

#include "alarm_monitor.h"
#include "socket_record.h"

#include <QByteArray>
#include <QString>
#include <array>
#include <vector>

namespace vexmora::meter {

struct AppBytes
{
    QString app;
    ByteCounts bytes;
};

// What the meter shows to the node exporter's textfile collector.
struct MeterStatus
{
    ByteCounts hostBytes; // since the meter started
    bool counting = false;
    std::array<bool, 3> alarmRaised{};
    std::vector<AppBytes> appsToday; // the busiest applications of the UTC day
    quint64 lostCloseReports = 0;
    quint64 uncountedPackets = 0;
    quint64 staleEntries = 0;
    QString attributionSource; // empty while no source counts
};

// The status in the Prometheus text exposition format.
QByteArray prometheusText(const MeterStatus &status);
// Replaces DIR/vexmora.prom atomically; false (with a warning) when it cannot.
bool writePrometheusTextfile(const QString &dir, const MeterStatus &status);

} // namespace vexmora::meter
