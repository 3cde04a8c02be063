#include "store_transaction.h"

#include <cstdio>

namespace vexmora::store {

bool openWithMessage(Database &db)
{
    if (!openDatabase(db)) {
        fprintf(stderr, "Cannot open database: %s\n", sqlite3_errmsg(db.get()));
        return false;
    }
    return true;
}

bool stepWrite(sqlite3 *db, sqlite3_stmt *statement)
{
    const int rc = sqlite3_step(statement);
    sqlite3_reset(statement);
    if (rc != SQLITE_DONE) {
        fprintf(stderr, "Execution failed: %s\n", sqlite3_errmsg(db));
        return false;
    }
    return true;
}

bool execWrite(sqlite3 *db, const char *sql)
{
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        fprintf(stderr, "Execution failed: %s\n", sqlite3_errmsg(db));
        return false;
    }
    return true;
}

} // namespace vexmora::store
