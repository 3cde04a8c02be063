#include "sqlite_handles.h"

#include "vexmora_paths.h"

#include <cstdio>

namespace vexmora::store {

bool openDatabase(Database &db)
{
    sqlite3 *handle = nullptr;
    // Every connection is opened, used and closed by one thread, so it needs
    // no mutex of its own (SQLite takes one for each column read otherwise).
    const int rc =
        sqlite3_open_v2(paths::kDatabaseFile, &handle,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    db.reset(handle);
    if (rc != SQLITE_OK) {
        return false;
    }
    sqlite3_busy_timeout(handle, kBusyTimeoutMs);
    return true;
}

bool prepareStatement(sqlite3 *db, const char *sql, Statement &statement)
{
    sqlite3_stmt *prepared = nullptr;
    const int rc = sqlite3_prepare_v2(db, sql, -1, &prepared, nullptr);
    statement.reset(prepared);
    if (rc != SQLITE_OK) {
        fprintf(stderr, "Failed to prepare statement: %s\n", sqlite3_errmsg(db));
        return false;
    }
    return true;
}

} // namespace vexmora::store
