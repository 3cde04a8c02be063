#pragma once

struct sqlite3;

namespace vexmora::store {

// Makes sure `tableName` exists on `db`, creating it with `create` when it does
// not. Writes the failure and returns false when the check or the creation fails.
bool ensureTable(sqlite3 *db, const char *tableName, int (*create)(sqlite3 *));

} // namespace vexmora::store
