#pragma once

#include <QByteArray>

namespace bench {

// What the benchmark puts into the state directory.
struct DatasetShape
{
    int days = 30;
    int apps = 500;
    int hours = 8760;
    int snapshotBytes = 1024;
};

struct DatasetCounts
{
    int appRows = 0;
    int hourRows = 0;
};

// Replaces the traffic database with `shape.days` UTC days of traffic of
// `shape.apps` applications (yesterday backwards) and `shape.hours` local
// hours ending with the previous hour, all already reported. Rows are
// written in one transaction, in the tables the store itself creates.
DatasetCounts buildDatabase(const DatasetShape &shape);

// Sets every hour back to unreported; answers the number of hours.
int markAllHoursPending();

// A settings file with every key set, and snapshot files of about `bytes` bytes.
void writeSettingsFile();
QByteArray writeSnapshots(int bytes);

} // namespace bench
