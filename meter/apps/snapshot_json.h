#pragma once

#include "app_ledger.h"

#include <QByteArray>
#include <QString>

namespace vexmora::meter {

// The snapshots hold at most this many elements, busiest first: far below
// what the service serves (16 MiB).
inline constexpr int kMaxSnapshotEntries = 500;

// app_info: [{"app", "up", "down", "up_rate", "down_rate"}], bytes of the UTC
// day and bytes per second over the seconds since the previous snapshot.
QByteArray appSnapshotJson(const AppLedger &ledger, double seconds);
// process_info: [{"pid", "name", "app", "up", "down", "up_rate", "down_rate"}],
// bytes since the process was first seen.
QByteArray processSnapshotJson(const AppLedger &ledger, double seconds);

} // namespace vexmora::meter
