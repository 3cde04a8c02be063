#pragma once

// What the store's multi-statement writes share: a transaction that rolls
// back unless committed, and steps that write their failure.

#include "sqlite_handles.h"

#include <cstdio>

namespace vexmora::store {

// A transaction on one connection, rolled back unless it was committed.
class Transaction
{
public:
    explicit Transaction(sqlite3 *db) : db_(db) {}
    ~Transaction()
    {
        if (open_) {
            sqlite3_exec(db_, "ROLLBACK;", nullptr, nullptr, nullptr);
        }
    }
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;

    // "BEGIN IMMEDIATE;" for a write: the lock is taken before the first
    // statement, so that the busy time-out covers the whole transaction.
    bool begin(const char *sql)
    {
        open_ = run(sql);
        return open_;
    }
    bool commit()
    {
        if (!run("COMMIT;")) {
            return false;
        }
        open_ = false;
        return true;
    }

private:
    bool run(const char *sql)
    {
        if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
            fprintf(stderr, "Transaction failed: %s\n", sqlite3_errmsg(db_));
            return false;
        }
        return true;
    }

    sqlite3 *db_;
    bool open_ = false;
};

// Opens the database, writing the failure.
bool openWithMessage(Database &db);
// Steps a bound write statement once and resets it for the next binding.
bool stepWrite(sqlite3 *db, sqlite3_stmt *statement);
bool execWrite(sqlite3 *db, const char *sql);

} // namespace vexmora::store
