#pragma once

#include "bus_client.h"
#include "process_memory.h"
#include "result_table.h"

#include <QDBusMessage>
#include <QString>
#include <QVector>

namespace bench {

struct BenchContext
{
    BusClient &client;
    QString busAddress;
    qint64 servicePid = 0;
    ResultTable &table;
    // Divides every sample count; 1 for a full run.
    int sampleDivisor = 1;

    int samples(int full) const { return full / sampleDivisor > 0 ? full / sampleDivisor : 1; }
};

// The calls of the interface that answer from the settings file, the snapshot
// files, and the no-change setters (the values writeSettingsFile stores).
QVector<QDBusMessage> getterCalls();
QVector<QDBusMessage> snapshotCalls();
QVector<QDBusMessage> unchangedSetterCalls();

void measureReports(BenchContext &context);
void measurePendingHours(BenchContext &context, int hours);
void measureSmallCalls(BenchContext &context);
void measureConcurrency(BenchContext &context);
// Idle memory at start and after a warm-up, then the growth over many calls.
void measureMemory(BenchContext &context, const Resident &atStart);

} // namespace bench
