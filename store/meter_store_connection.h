#pragma once

// The connection behind MeterStore and the statements it keeps prepared.

#include "meter_store.h"
#include "sqlite_handles.h"

#include <array>
#include <sys/types.h>

namespace vexmora::store {

// The meter's statements, each prepared on first use and kept.
enum class MeterSql {
    SaveHour,
    DropEarlierMinutes,
    SaveMinutes,
    ClearBaselines,
    InsertBaseline,
    AddDatedAppTraffic,
    ClearCarry,
    InsertCarry,
    LoadHour,
    SelectBaselines,
    SelectMinutes,
    SelectCarry,
    SumAttributed,
    SelectAppNames,
    Count,
};

// The connection behind a MeterStore.
struct MeterConnection
{
    Database db;
    // The file the connection opened, to tell when it was replaced.
    dev_t device = 0;
    ino_t inode = 0;
    std::array<Statement, size_t(MeterSql::Count)> statements;

    // The statement, prepared if it is not yet, reset and unbound; nullptr
    // (after the message) when it cannot be prepared.
    sqlite3_stmt *statement(MeterSql sql);
};

} // namespace vexmora::store
